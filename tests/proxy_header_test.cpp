// The header ahead of every datagram to the server with ProxyProtocol=2, byte for byte.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket_api.h"
#include "relay/proxy_header.h"

namespace tavorin {
namespace {

Endpoint V4(uint32_t address, uint16_t port) {
  return MakeEndpoint(htonl(address), htons(port));
}

// 2001:db8::`last`.
Endpoint V6(unsigned char last, uint16_t port) {
  unsigned char bytes[16] = {0x20, 0x01, 0x0D, 0xB8};
  bytes[15] = last;
  in6_addr address;
  std::memcpy(&address, bytes, sizeof bytes);
  return MakeEndpoint6(address, htons(port));
}

// No address, as when the system did not tell where a datagram was sent, and a port.
Endpoint PortOnly(uint16_t port) {
  Endpoint e;
  e.set_port_net(htons(port));
  return e;
}

std::string Hex(const unsigned char* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i)
    text += {"0123456789ABCDEF"[bytes[i] >> 4], "0123456789ABCDEF"[bytes[i] & 0xF]};
  return text;
}

// The expected bytes in hex, spaces between fields for the reader: the signature, version 2
// with command PROXY, the family with UDP, the length of what follows, the addresses, the ports.
const char kSignature[] = "0D0A0D0A000D0A515549540A 21 ";

struct Row {
  const char* name;
  Endpoint client;
  Endpoint destination;
  std::string expected;  // in hex
};

class ProxyHeaderBytes : public ::testing::TestWithParam<Row> {};

TEST_P(ProxyHeaderBytes, AreTheClientThenTheAddressItSentTo) {
  const Row& row = GetParam();
  const ProxyHeader header = MakeProxyHeader(row.client, row.destination);
  std::string expected = kSignature + row.expected;
  expected.erase(std::remove(expected.begin(), expected.end(), ' '), expected.end());
  EXPECT_EQ(Hex(header.bytes, header.length), expected);
  EXPECT_EQ(header.length, row.client.is_v6() && !IsMapped(row.client) ? 52u : 28u);
}

// 192.0.2.7 port 40000 (9C40) sends to 198.51.100.1 port 15000 (3A98) or 15001 (3A99).
INSTANTIATE_TEST_SUITE_P(
    Rows, ProxyHeaderBytes,
    ::testing::Values(
        Row{"Ipv4ToP", V4(0xC0000207, 40000), V4(0xC6336401, 15000),
            "12 000C C0000207 C6336401 9C40 3A98"},
        Row{"Ipv4ToPPlus1", V4(0xC0000207, 40000), V4(0xC6336401, 15001),
            "12 000C C0000207 C6336401 9C40 3A99"},
        Row{"Ipv6ToP", V6(7, 40000), V6(1, 15000),
            "22 0024 20010DB8000000000000000000000007 20010DB8000000000000000000000001 9C40 3A98"},
        Row{"Ipv6ToPPlus1", V6(7, 40000), V6(1, 15001),
            "22 0024 20010DB8000000000000000000000007 20010DB8000000000000000000000001 9C40 3A99"},
        // An IPv4 client in IPv6 form, as a socket of both families may see it, is IPv4.
        Row{"MappedIpv4IsIpv4", Mapped(V4(0xC0000207, 40000)), Mapped(V4(0xC6336401, 15000)),
            "12 000C C0000207 C6336401 9C40 3A98"},
        // The address sent to not known, or of the other family: unspecified, its port kept.
        Row{"UnknownAddressIsUnspecified", V4(0xC0000207, 40000), PortOnly(15001),
            "12 000C C0000207 00000000 9C40 3A99"},
        Row{"OtherFamilyIsUnspecified", V6(7, 40000), V4(0xC6336401, 15000),
            "22 0024 20010DB8000000000000000000000007 00000000000000000000000000000000 9C40 3A98"}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// A relay in front's datagram, header and payload, in hex: what the header names and what
// follows it, or nothing when it is not to be trusted as a whole header with a payload.
struct UnwrapRow {
  const char* name;
  std::string datagram;  // in hex, spaces for the reader
  std::string client;    // EndpointText of what it names; empty: refused
  std::string destination = "";
  std::string payload = "";  // in hex
};

std::string Packed(std::string hex) {
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  return hex;
}

std::vector<unsigned char> Bytes(const std::string& spaced) {
  const std::string hex = Packed(spaced);
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

class ProxyHeaderUnwrap : public ::testing::TestWithParam<UnwrapRow> {};

TEST_P(ProxyHeaderUnwrap, TakesAWholeHeaderOffAndNamesItsClient) {
  const UnwrapRow& row = GetParam();
  const std::vector<unsigned char> datagram = Bytes(row.datagram);
  const Endpoint sender = V4(0x0A000005, 51234);  // 10.0.0.5
  const std::optional<FrontedDatagram> fronted = Unwrap(datagram.data(), datagram.size(), sender);
  ASSERT_EQ(fronted.has_value(), !row.client.empty());
  if (!fronted)
    return;
  EXPECT_EQ(EndpointText(fronted->client), row.client);
  EXPECT_EQ(fronted->destination.known() ? EndpointText(fronted->destination) : "",
            row.destination);
  EXPECT_EQ(Hex(fronted->data, fronted->length), Packed(row.payload));
}

const std::string kV4 = std::string(kSignature) + "12 000C C0000207 C6336401 9C40 3A98 ";
const std::string kV6 =
    std::string(kSignature) +
    "22 0024 20010DB8000000000000000000000007 20010DB8000000000000000000000001 9C40 3A98 ";

INSTANTIATE_TEST_SUITE_P(
    Rows, ProxyHeaderUnwrap,
    ::testing::Values(
        UnwrapRow{"Ipv4", kV4 + "AABB", "192.0.2.7:40000", "198.51.100.1:15000", "AABB"},
        UnwrapRow{"Ipv6", kV6 + "01", "[2001:db8::7]:40000", "[2001:db8::1]:15000", "01"},
        // What this relay's own header says, read back.
        UnwrapRow{"AsMade",
                  [] {
                    const ProxyHeader h =
                        MakeProxyHeader(V6(9, 5060), Mapped(V4(0xC6336401, 15001)));
                    return Hex(h.bytes, h.length) + "FF";
                  }(),
                  "[2001:db8::9]:5060", "[::]:15001", "FF"},
        // Extensions after the addresses are skipped.
        UnwrapRow{"WithAnExtension",
                  std::string(kSignature) + "12 0011 C0000207 C6336401 9C40 3A98 04 0002 0000 EE",
                  "192.0.2.7:40000", "198.51.100.1:15000", "EE"},
        // LOCAL names nobody: the sender is the client.
        UnwrapRow{"Local", "0D0A0D0A000D0A515549540A 20 00 0000 77", "10.0.0.5:51234", "", "77"},
        UnwrapRow{"NothingAfterIt", kV4, ""},
        UnwrapRow{"CutShort", kV4.substr(0, kV4.size() - 6), ""},
        UnwrapRow{"LengthPastTheDatagram",
                  std::string(kSignature) + "12 0100 C0000207 C6336401 9C40 3A98 AABB", ""},
        UnwrapRow{"TooShortForItsFamily",
                  std::string(kSignature) + "22 000C C0000207 C6336401 9C40 3A98 AABB", ""},
        UnwrapRow{"Tcp", std::string(kSignature) + "11 000C C0000207 C6336401 9C40 3A98 AABB", ""},
        UnwrapRow{"Unspecified", std::string(kSignature) + "00 0000 AABB", ""},
        UnwrapRow{"Version1Command",
                  "0D0A0D0A000D0A515549540A 11 12 000C C0000207 C6336401 9C40 3A98 AABB", ""},
        UnwrapRow{"AnotherSignature",
                  "0D0A0D0A000D0A515549540B 21 12 000C C0000207 C6336401 9C40 3A98 AABB", ""},
        UnwrapRow{"TextVersion1", "50524F5859205544503420", ""}),
    [](const ::testing::TestParamInfo<UnwrapRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavorin
