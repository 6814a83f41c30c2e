// SipHash-2-4 of 64-bit words under a 128-bit key: the client index hashes sources with a key
// drawn at random when the table is made, so that nobody who can forge sources can choose ones
// that all fall into one bucket and make every lookup walk a chain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

namespace tavorin {

class KeyedHash {
 public:
  // A key drawn from the system's source of randomness.
  KeyedHash() {
    std::random_device random;
    for (uint64_t* half : {&k0_, &k1_})
      *half = (uint64_t{random()} << 32) | random();
  }
  KeyedHash(uint64_t k0, uint64_t k1) : k0_(k0), k1_(k1) {}

  // The hash of the 8 bytes of `word`, taken little-endian first, as SipHash reads a message.
  size_t operator()(uint64_t word) const { return Of(&word, 1); }

  // The hash of `count` words, 8 bytes each in turn.
  template <size_t N>
  size_t operator()(const std::array<uint64_t, N>& words) const {
    return Of(words.data(), N);
  }

 private:
  size_t Of(const uint64_t* words, size_t count) const {
    uint64_t v0 = k0_ ^ 0x736f6d6570736575ull;
    uint64_t v1 = k1_ ^ 0x646f72616e646f6dull;
    uint64_t v2 = k0_ ^ 0x6c7967656e657261ull;
    uint64_t v3 = k1_ ^ 0x7465646279746573ull;
    auto rounds = [&](int n) {
      for (int i = 0; i < n; ++i) {
        v0 += v1;
        v1 = Rotate(v1, 13) ^ v0;
        v0 = Rotate(v0, 32);
        v2 += v3;
        v3 = Rotate(v3, 16) ^ v2;
        v0 += v3;
        v3 = Rotate(v3, 21) ^ v0;
        v2 += v1;
        v1 = Rotate(v1, 17) ^ v2;
        v2 = Rotate(v2, 32);
      }
    };
    auto compress = [&](uint64_t block) {
      v3 ^= block;
      rounds(2);
      v0 ^= block;
    };
    for (size_t i = 0; i < count; ++i)
      compress(words[i]);
    compress(uint64_t{(8 * count) & 0xFF} << 56);  // the length
    v2 ^= 0xff;
    rounds(4);
    return static_cast<size_t>(v0 ^ v1 ^ v2 ^ v3);
  }

  static uint64_t Rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

  uint64_t k0_;
  uint64_t k1_;
};

}  // namespace tavorin
