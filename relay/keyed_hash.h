// SipHash-2-4 of one 64-bit word under a 128-bit key: the client index hashes sources with a
// key drawn at random when the table is made, so that nobody who can forge sources can choose
// ones that all fall into one bucket and make every lookup walk a chain.
#pragma once

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
  size_t operator()(uint64_t word) const {
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
    for (uint64_t block : {word, uint64_t{8} << 56}) {  // the word, then its length
      v3 ^= block;
      rounds(2);
      v0 ^= block;
    }
    v2 ^= 0xff;
    rounds(4);
    return static_cast<size_t>(v0 ^ v1 ^ v2 ^ v3);
  }

 private:
  static uint64_t Rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

  uint64_t k0_;
  uint64_t k1_;
};

}  // namespace tavorin
