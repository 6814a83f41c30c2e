// How the settings file is read, over text in memory (on every system): a value found in its
// section, port numbers and whole numbers as the file gives them, and for every key the value
// taken and the warning or the error that says what was found and what is used.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/number.h"
#include "app/settings.h"
#include "platform/ini_lookup.h"
#include "platform/resolve_host.h"

namespace tavorin {
namespace {

std::string Find(std::string_view text, std::string_view section, std::string_view key,
                 size_t size = 60) {
  return FindIniValue(text, section, key, "default", size);
}

TEST(IniLookup, FindsTheKeyInItsSectionOnly) {
  const char* text = "Port=1\n[Proxy]\nPort=2\nLog=a.txt\n[Server]\nPort=3\nIP=h\n";
  EXPECT_EQ(Find(text, "Proxy", "Port"), "2");
  EXPECT_EQ(Find(text, "Server", "Port"), "3");
  EXPECT_EQ(Find(text, "Server", "Log"), "default");
  EXPECT_EQ(Find(text, "Other", "Port"), "default");
  EXPECT_EQ(Find("", "Proxy", "Port"), "default");
}

TEST(IniLookup, IsLenientAboutCaseSpacingCommentsAndLineEnds) {
  EXPECT_EQ(Find("[proxy]\r\nPORT=5\r\n", "Proxy", "Port"), "5");
  EXPECT_EQ(Find("  [ Proxy ]  \n\t Port \t=\t 5 6 \t\n", "Proxy", "Port"), "5 6");
  EXPECT_EQ(Find("[Proxy]\n;Port=1\n  ; Port=2\nPort=3", "Proxy", "Port"), "3");
  EXPECT_EQ(Find("\xEF\xBB\xBF[Proxy]\nPort=4\n", "Proxy", "Port"), "4");
  EXPECT_EQ(Find("[Proxy]\nLog=\"my file.txt\"\n", "Proxy", "Log"), "my file.txt");
  EXPECT_EQ(Find("[Proxy]\nLog='x'\n", "Proxy", "Log"), "x");
  EXPECT_EQ(Find("[Proxy]\nLog=\"x\n", "Proxy", "Log"), "\"x") << "an unmatched quote stays";
  EXPECT_EQ(Find("[Proxy]\nLog=a=b\n", "Proxy", "Log"), "a=b");
  EXPECT_EQ(Find("[Proxy]\nLog ; not a key\nLog=c\n", "Proxy", "Log"), "c");
  EXPECT_EQ(Find("[Proxy\nPort=1\n", "Proxy", "Port"), "default") << "a broken header";
}

TEST(IniLookup, TheFirstMatchWinsAndAnEmptyValueIsAValue) {
  EXPECT_EQ(Find("[Proxy]\nPort=1\nPort=2\n[Proxy]\nPort=3\n", "Proxy", "Port"), "1");
  EXPECT_EQ(Find("[Proxy]\n[Server]\n[Proxy]\nPort=3\n", "Proxy", "Port"), "3");
  EXPECT_EQ(Find("[Proxy]\nLog=\nLog=x\n", "Proxy", "Log"), "");
  EXPECT_EQ(Find("[Proxy]\nLog=  \n", "Proxy", "Log"), "");
}

TEST(IniLookup, ValuesAreCutToSizeLessOne) {
  std::string text = "[S]\nK=" + std::string(100, 'v') + "\n";
  EXPECT_EQ(Find(text, "S", "K", 16), std::string(15, 'v'));
  EXPECT_EQ(Find(text, "S", "K", 1), "");
  EXPECT_EQ(Find(text, "S", "K", 0), "");
  EXPECT_EQ(FindIniValue("", "S", "K", "123456789", 4), "123") << "defaults too";
  EXPECT_EQ(Find(std::string("[S]\nK=ab\0cd\n", 12), "S", "K"), "ab");
}

TEST(ParseNumber, SkipsWhiteSpaceTakesASignAndStopsAtTheFirstNonDigit) {
  EXPECT_EQ(ParseNumber("15000"), 15000);
  EXPECT_EQ(ParseNumber("\t\n\v\f\r 42"), 42);
  EXPECT_EQ(ParseNumber("+7"), 7);
  EXPECT_EQ(ParseNumber("-7"), -7);
  EXPECT_EQ(ParseNumber("12abc34"), 12);
  EXPECT_EQ(ParseNumber("1 2"), 1);
  EXPECT_EQ(ParseNumber("0x10"), 0) << "decimal only";
}

TEST(ParseNumber, NoDigitsGiveZero) {
  for (const char* text : {"", " ", "abc", "+", "-", "+-1", "- 1",
                           "\x85"
                           "1"}) {
    EXPECT_EQ(ParseNumber(text), 0) << '"' << text << '"';
  }
}

TEST(ParseNumber, DigitsWrapModulo2To32BeforeTheSign) {
  EXPECT_EQ(ParseNumber("2147483647"), 2147483647);
  EXPECT_EQ(ParseNumber("2147483648"), INT32_MIN);
  EXPECT_EQ(ParseNumber("4294967295"), -1);
  EXPECT_EQ(ParseNumber("4294967296"), 0);
  EXPECT_EQ(ParseNumber("4294969296"), 2000);
  EXPECT_EQ(ParseNumber("-4294967295"), 1);
  EXPECT_EQ(ParseNumber("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseNumber("99999999999999999999999999"), -469762049);
  EXPECT_EQ(ParseNumber(std::string(100000, '9')), -1);
}

TEST(ParseNumber, NextNumberAndPortWrap) {
  EXPECT_EQ(NextNumber(15000), 15001);
  EXPECT_EQ(NextNumber(INT32_MAX), INT32_MIN);
  EXPECT_EQ(NextNumber(-1), 0);
  EXPECT_EQ(PortOf(70000), 4464);
  EXPECT_EQ(PortOf(NextNumber(70000)), 4465);
  EXPECT_EQ(PortOf(NextNumber(65535)), 0);
  EXPECT_EQ(PortOf(-1), 65535);
  EXPECT_EQ(PortOf(INT32_MIN), 0);
}

// The opt-in keys take whole numbers only, never the lenient reading of the four old keys.
struct WholeCase {
  const char* text;
  std::optional<uint32_t> value;
};

class ParseWholeNumberTest : public ::testing::TestWithParam<WholeCase> {};

TEST_P(ParseWholeNumberTest, DigitsOnlyWithWhiteSpaceAround) {
  EXPECT_EQ(ParseWholeNumber(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ParseWholeNumberTest,
    ::testing::Values(WholeCase{"0", 0u}, WholeCase{"1500", 1500u},
                      WholeCase{" \t65507 \r", 65507u}, WholeCase{"4294967295", 4294967295u},
                      WholeCase{"4294967296", std::nullopt}, WholeCase{"", std::nullopt},
                      WholeCase{"  ", std::nullopt}, WholeCase{"-4", std::nullopt},
                      WholeCase{"+4", std::nullopt}, WholeCase{"soon", std::nullopt},
                      WholeCase{"15 00", std::nullopt}, WholeCase{"1500 bytes", std::nullopt},
                      WholeCase{"0x10", std::nullopt},
                      WholeCase{"99999999999999999999", std::nullopt}));

struct Row {
  const char* name;
  std::string text;  // the whole file
  KeyId key;
  std::string value;  // what the key then holds
  std::string told;   // within a warning or error; none at all when empty
  bool ends_start = false;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class SettingsReading : public ::testing::TestWithParam<Row> {};

TEST_P(SettingsReading, TakesAValueOrSaysWhatIsUsedInstead) {
  const Row& row = GetParam();
  const Settings s = ReadSettings(IniFile::FromText(row.text), "T");
  EXPECT_EQ(ValueText(s, row.key), row.value);
  std::string told;
  for (const std::string& line : s.warnings)
    told += "warning: " + line + "\n";
  for (const std::string& line : s.errors)
    told += "error: " + line + "\n";
  if (row.told.empty()) {
    EXPECT_EQ(told, "");
  } else {
    EXPECT_NE(told.find(row.told), std::string::npos) << told;
  }
  EXPECT_EQ(!s.errors.empty(), row.ends_start) << told;
}

const std::string kPad(70, 'x');

// A file's bytes, zero bytes and all.
template <size_t N>
std::string Text(const char (&bytes)[N]) {
  return std::string(bytes, N - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsReading,
    ::testing::Values(
        Row{"NoFile", "", KeyId::kProxyPort, "15000", ""},
        Row{"LogDefault", "", KeyId::kLog, "packets.txt", ""},
        Row{"ServerDefault", "", KeyId::kServerIp, "127.0.0.1", ""},
        Row{"ListenEverywhere", "", KeyId::kProxyIp, "::", ""},
        // Ports keep the lenient reading the relay always had, never in silence.
        Row{"PortInWords", "[Server]\nPort=abc\n", KeyId::kServerPort, "0",
            "Port=abc in [Server] of T is not a port number from 0 to 65535; using port 0"},
        Row{"PortPastTheTop", "[Server]\nPort=70000\n", KeyId::kServerPort, "70000",
            "is not a port number from 0 to 65535; using port 4464"},
        Row{"NegativePort", "[Server]\nPort=-1\n", KeyId::kServerPort, "-1", "using port 65535"},
        Row{"SignAndJunk", "[Server]\nPort= \t+2000x\n", KeyId::kServerPort, "2000",
            "Port=+2000x in [Server]"},
        Row{"PortWraps", "[Server]\nPort=4294969296\n", KeyId::kServerPort, "2000",
            "using port 2000"},
        Row{"LargestPort", "[Server]\nPort=2147483647\n", KeyId::kServerPort, "2147483647",
            "using port 65535"},
        Row{"SecondServerPortWraps", "[Server]\nPort=65535\n", KeyId::kServerPort, "65535",
            "puts the second port on 0, where no server is"},
        Row{"ListeningPortZero", "[Proxy]\nPort=0\n", KeyId::kProxyPort, "0",
            "lets the system choose the first listening port"},
        // One way for every key: comments, quotes, spaces and text after the value.
        Row{"PortWithAComment", "[Server]\nPort=30100 ; relay port\n", KeyId::kServerPort, "30100",
            ""},
        Row{"SizeWithAComment", "[Proxy]\nMaxDatagram=1500 ; for SIP\n", KeyId::kMaxDatagram,
            "1500", ""},
        Row{"AddressWithAComment", "[Server]\nIP=127.0.0.1 ; the server\n", KeyId::kServerIp,
            "127.0.0.1", ""},
        Row{"QuotedSize", "[Proxy]\nMaxDatagram = \"1500\" \n", KeyId::kMaxDatagram, "1500", ""},
        Row{"SemicolonWithinAWord", "[Proxy]\nLog=a;b.txt\n", KeyId::kLog, "a;b.txt", ""},
        Row{"TextAfterASize", "[Proxy]\nMaxDatagram=1500 bytes\n", KeyId::kMaxDatagram, "1500",
            "MaxDatagram=1500 bytes in [Proxy] of T has text after the value; using 1500"},
        Row{"TextAfterAPort", "[Proxy]\nPort=5060 sip\n", KeyId::kProxyPort, "5060",
            "has text after the value; using 5060"},
        Row{"TextAfterAHost", "[Server]\nIP=localhost x\n", KeyId::kServerIp, "localhost",
            "has text after the value; using localhost"},
        Row{"ALogNameWithSpaces", "[Proxy]\nLog=relay log.txt ; kept\n", KeyId::kLog,
            "relay log.txt", ""},
        // The status listener on a loopback address is this host's alone; on any other, /links
        // tells a stranger every client's link port.
        Row{"StatusOnLoopback", "[Proxy]\nStatusAddress=[::1]:9150\n", KeyId::kStatusAddress,
            "[::1]:9150", ""},
        Row{"StatusEverywhere", "[Proxy]\nStatusAddress=0.0.0.0:9150\n", KeyId::kStatusAddress,
            "0.0.0.0:9150", "is not a loopback address: whoever reaches it reads /links"},
        Row{"StatusOnAPublicAddress", "[Proxy]\nStatusAddress=[2001:db8::1]:9150\n",
            KeyId::kStatusAddress, "[2001:db8::1]:9150", "is not a loopback address"},
        Row{"LogCut", "[Proxy]\nLog=" + kPad + "\n", KeyId::kLog, kPad.substr(0, 59),
            "is longer than 59 characters; using " + kPad.substr(0, 59)},
        // The opt-in numbers: in range, else the default.
        Row{"IdleTimeoutInWords", "[Proxy]\nIdleTimeout=soon\n", KeyId::kIdleTimeout, "0",
            "IdleTimeout=soon in [Proxy] of T is not a whole number of 0 or more; using 0"},
        Row{"NegativeMaxClients", "[Proxy]\nMaxClients=-4\n", KeyId::kMaxClients, "0",
            "is not a whole number of 0 or more; using 0"},
        Row{"FractionalMaxClients", "[Proxy]\nMaxClients=2.5\n", KeyId::kMaxClients, "0",
            "is not a whole number of 0 or more"},
        Row{"LogLinksInWords", "[Proxy]\nLogLinks=yes\n", KeyId::kLogLinks, "0",
            "is not a whole number from 0 to 1; using 0"},
        Row{"LogLinksTwo", "[Proxy]\nLogLinks=2\n", KeyId::kLogLinks, "0", "from 0 to 1"},
        Row{"SizeZero", "[Proxy]\nMaxDatagram=0\n", KeyId::kMaxDatagram, "520",
            "is not a whole number from 1 to 65507; using 520"},
        Row{"SizeNegative", "[Proxy]\nMaxDatagram=-4\n", KeyId::kMaxDatagram, "520",
            "MaxDatagram=-4 in [Proxy] of T is not a whole number from 1 to 65507; using 520"},
        Row{"SizeInWords", "[Proxy]\nMaxDatagram=large\n", KeyId::kMaxDatagram, "520",
            "is not a whole number from 1 to 65507; using 520"},
        Row{"Flag", "[Server]\nRepliesFromServerOnly=1\n", KeyId::kRepliesFromServerOnly, "1", ""},
        Row{"FollowServerPort", "[Server]\nFollowServerPort=1\n", KeyId::kFollowServerPort, "1",
            ""},
        Row{"FollowServerPortInWords", "[Server]\nFollowServerPort=on\n", KeyId::kFollowServerPort,
            "0", "FollowServerPort=on in [Server] of T is not a whole number from 0 to 1; using 0"},
        // Two values and nothing between: the header's version, or none.
        Row{"ProxyProtocolDefault", "", KeyId::kProxyProtocol, "0", ""},
        Row{"ProxyProtocolTwo", "[Server]\nProxyProtocol=2\n", KeyId::kProxyProtocol, "2", ""},
        Row{"ProxyProtocolOne", "[Server]\nProxyProtocol=1\n", KeyId::kProxyProtocol, "0",
            "ProxyProtocol=1 in [Server] of T is not 0 or 2; using 0"},
        Row{"ProxyProtocolThree", "[Server]\nProxyProtocol=3\n", KeyId::kProxyProtocol, "0",
            "is not 0 or 2; using 0"},
        Row{"ProxyProtocolInWords", "[Server]\nProxyProtocol=v2\n", KeyId::kProxyProtocol, "0",
            "is not 0 or 2; using 0"},
        // What the file holds besides values.
        Row{"MisspeltKey", "[Proxy]\nPrt=15000\n", KeyId::kProxyPort, "15000",
            "Prt in [Proxy] of T is not a key the relay knows; it is ignored"},
        Row{"MisspeltNewKey", "[Proxy]\nIdleTimout=30\n", KeyId::kIdleTimeout, "0",
            "IdleTimout in [Proxy] of T is not a key the relay knows"},
        Row{"AKeyGivenTwice", "[Proxy]\nPort=5060\n[Server]\nPort=7\n[proxy]\nport=5070\n",
            KeyId::kProxyPort, "5060",
            "Port in [Proxy] of T is given 2 times; the first, Port=5060, counts"},
        Row{"AnUnknownSection", "[Proxi]\nPort=4000\n", KeyId::kProxyPort, "15000",
            "[Proxi] in T is not a section the relay knows ([Proxy], [Server]); its keys are "
            "ignored"},
        Row{"ManyUnknownNamesInFewLines",
            [] {
              std::string text;
              for (int i = 0; i < 20; ++i)
                text += "[S" + std::to_string(i) + "\x1B]\n";
              return text;
            }(),
            KeyId::kProxyPort, "15000", "T holds 12 more unknown or repeated names"},
        // Lines the reader cannot use, each told with its number.
        Row{"ALineWithoutEquals", "[Proxy]\nMaxClients\nPort=4000\n", KeyId::kProxyPort, "4000",
            "line 2 of T, \"MaxClients\", has no \"=\"; it is not read"},
        Row{"AnUnclosedSection", "\r\n[Proxy\r\nPort=4000\r\n", KeyId::kProxyPort, "15000",
            "line 2 of T, \"[Proxy\", has no \"]\" to close the section's name"},
        Row{"CutWhileWritten", "[Server]\nPort=45062\n[Proxy]\nPo", KeyId::kServerPort, "45062",
            "line 4 of T, \"Po\", has no \"=\" and no line end (the file may have been cut"},
        Row{"AKeyBeforeAnySection", "Port=4000\n[Proxy]\n", KeyId::kProxyPort, "15000",
            "line 1 of T, \"Port=4000\", comes before any [section]"},
        Row{"NoKeyName", "[Proxy]\n = 4000\n", KeyId::kProxyPort, "15000",
            "line 2 of T, \"= 4000\", has no key's name before \"=\""},
        Row{"ALineTooLong", "[Proxy]\nLog=" + std::string(70000, 'x') + "\n", KeyId::kProxyPort,
            "15000", "line 2 of T, \"Log=" + std::string(36, 'x') + "...\", is longer than"},
        Row{"ManyUnusableLines",
            [] {
              std::string text = "[Proxy]\nPort=4000\n";
              for (int i = 0; i < 20; ++i)
                text += "x\n";
              return text;
            }(),
            KeyId::kProxyPort, "4000", "T holds 12 more lines the reader cannot use"},
        Row{"Utf16WithAByteOrderMark",
            Text("\xFF\xFE[\0P\0r\0o\0x\0y\0]\0\n\0P\0o\0r\0t\0=\0\x34\0\n\0"), KeyId::kProxyPort,
            "4", ""},
        Row{"Utf16WithoutAByteOrderMark",
            Text("[\0P\0r\0o\0x\0y\0]\0\n\0P\0o\0r\0t\0=\0\x34\0\n\0"), KeyId::kProxyPort, "15000",
            "T is UTF-16 text without a byte-order mark, which the reader cannot take"},
        Row{"NotText",
            Text("\x7F"
                 "ELF\x02\x01\x01\0\0\0\0\0\n[Proxy]\nPort=4\n"),
            KeyId::kProxyPort, "4", "T is not text: the keys found in it are used"},
        // Lists of networks: read whole, however long, in the relay's own writing; an entry
        // that cannot be used as written ends the start, naming the entry.
        Row{"AllowEveryClient", "", KeyId::kAllowClients, "", ""},
        Row{"AllowClientsOfBothFamilies",
            "[Proxy]\nAllowClients=10.0.0.0/8, 192.0.2.7 ,2001:DB8::/32\t::ffff:198.51.100.0/120 "
            "; lab\n",
            KeyId::kAllowClients, "10.0.0.0/8 192.0.2.7/32 2001:db8::/32 198.51.100.0/24", ""},
        Row{"AllowClientsOnlySeparators", "[Proxy]\nAllowClients= , ,\n", KeyId::kAllowClients, "",
            ""},
        Row{"AThousandNetworks",
            [] {
              std::string text = "[Proxy]\nAllowClients=";
              for (int i = 0; i < 1000; ++i)
                text += "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".0/24,";
              return text + "2001:db8::/32\n";
            }(),
            KeyId::kAllowClients,
            [] {
              std::string text;
              for (int i = 0; i < 1000; ++i)
                text += "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".0/24 ";
              return text + "2001:db8::/32";
            }(),
            ""},
        Row{"AllowClientsWithAName", "[Proxy]\nAllowClients=10.0.0.0/8 localhost\n",
            KeyId::kAllowClients, "",
            "error: AllowClients=10.0.0.0/8 localhost in [Proxy] of T has the entry \"localhost\", "
            "which is not an IPv4 or IPv6 address with /prefix; the relay does not start on a list "
            "it cannot read",
            true},
        Row{"AllowClientsShortIpv4", "[Proxy]\nAllowClients=10.1/16\n", KeyId::kAllowClients, "",
            "has the entry \"10.1/16\", which is not an IPv4 or IPv6 address", true},
        Row{"AllowClientsPrefixPast32", "[Proxy]\nAllowClients=10.0.0.0/33\n", KeyId::kAllowClients,
            "", "has the entry \"10.0.0.0/33\", whose prefix is not a whole number from 0 to 32",
            true},
        Row{"AllowClientsEmptyPrefix", "[Proxy]\nAllowClients=2001:db8::/\n", KeyId::kAllowClients,
            "", "whose prefix is not a whole number from 0 to 128", true},
        Row{"AllowClientsMappedPrefix", "[Proxy]\nAllowClients=::ffff:10.0.0.0/95\n",
            KeyId::kAllowClients, "", "whose prefix is not a whole number from 96 to 128", true},
        Row{"AllowClientsHostBits", "[Proxy]\nAllowClients=10.0.0.1/8\n", KeyId::kAllowClients, "",
            "has the entry \"10.0.0.1/8\", which has bits set past its prefix (the network would "
            "be 10.0.0.0/8)",
            true},
        Row{"AllowClientsHostBitsIpv6", "[Proxy]\nAllowClients=2001:db8::1/64\n",
            KeyId::kAllowClients, "", "(the network would be 2001:db8::/64)", true},
        Row{"AllowClientsScope", "[Proxy]\nAllowClients=fe80::1%1/128\n", KeyId::kAllowClients, "",
            "which names a scope", true},
        Row{"ProxyProtocolFromARelay", "[Proxy]\nProxyProtocolFrom=[::1]/128 127.0.0.5\n",
            KeyId::kProxyProtocolFrom, "::1/128 127.0.0.5/32", ""},
        Row{"ProxyProtocolFromCut", "[Proxy]\nProxyProtocolFrom=10.0.0.5/\n",
            KeyId::kProxyProtocolFrom, "", "ProxyProtocolFrom=10.0.0.5/ in [Proxy] of T has the entry",
            true},
        Row{"ProxyProtocolOnce", "[Server]\nProxyProtocol=2\nProxyProtocolOnce=1\n",
            KeyId::kProxyProtocolOnce, "1", ""},
        Row{"ProxyProtocolOnceAlone", "[Server]\nProxyProtocolOnce=1\n", KeyId::kProxyProtocolOnce,
            "1", "ProxyProtocolOnce=1 in [Server] of T does nothing without ProxyProtocol=2"},
        Row{"ProxyProtocolOnceTwo", "[Server]\nProxyProtocolOnce=2\n", KeyId::kProxyProtocolOnce,
            "0", "is not a whole number from 0 to 1; using 0"},
        // The listening address: only an address; anything else ends the start.
        Row{"ListenOnAnAddress", "[Proxy]\nIP=[::1] ; lan\n", KeyId::kProxyIp, "::1", ""},
        Row{"ListenOnAScopedAddress", "[Proxy]\nIP=fe80::1%1\n", KeyId::kProxyIp, "fe80::1", ""},
        Row{"ListenOnAName", "[Proxy]\nIP=localhost\n", KeyId::kProxyIp,
            "::", "error: IP=localhost in [Proxy] of T is not an IPv4 or IPv6 address", true},
        Row{"ListenWithAPort", "[Proxy]\nIP=127.0.0.1:40830\n", KeyId::kProxyIp,
            "::", "IP=127.0.0.1:40830 in [Proxy]", true},
        Row{"ListenOnATypo", "[Proxy]\nIP=127.0.0.l\n", KeyId::kProxyIp,
            "::", "IP=127.0.0.l in [Proxy]", true}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// Whom a list read from the file takes in: the address alone, of either family, an IPv4 one in
// IPv6 form as IPv4; the networks' edges within, and one past them out.
struct AccessRow {
  const char* list;
  const char* address;
  bool within;
};

class AccessList : public ::testing::TestWithParam<AccessRow> {};

TEST_P(AccessList, TakesTheAddressesOfItsNetworksAlone) {
  const AccessRow& row = GetParam();
  const Settings s =
      ReadSettings(IniFile::FromText(std::string("[Proxy]\nAllowClients=") + row.list + "\n"), "T");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  std::optional<Endpoint> address = ParseAddress(row.address);
  ASSERT_TRUE(address.has_value());
  address->set_port_net(htons(40000));
  EXPECT_EQ(s.allow_clients.Contains(*address), row.within) << row.list << " " << row.address;
  EXPECT_EQ(s.allow_clients.Contains(Mapped(*address)), row.within) << "in IPv6 form";
}

const char kLan[] = "192.168.1.0/24 10.0.0.0/8, 2001:db8:1::/48 ::1 172.16.0.0/12";

INSTANTIATE_TEST_SUITE_P(
    Settings, AccessList,
    ::testing::Values(AccessRow{kLan, "192.168.1.0", true}, AccessRow{kLan, "192.168.1.255", true},
                      AccessRow{kLan, "192.168.0.255", false},
                      AccessRow{kLan, "192.168.2.0", false},
                      AccessRow{kLan, "10.255.255.255", true}, AccessRow{kLan, "11.0.0.0", false},
                      AccessRow{kLan, "172.31.255.255", true}, AccessRow{kLan, "172.32.0.0", false},
                      AccessRow{kLan, "2001:db8:1:ffff:ffff:ffff:ffff:ffff", true},
                      AccessRow{kLan, "2001:db8:2::", false}, AccessRow{kLan, "::1", true},
                      AccessRow{kLan, "::2", false}, AccessRow{kLan, "127.0.0.1", false},
                      AccessRow{kLan, "0.0.0.0", false},
                      // Networks within networks, and neighbours, merge into one range.
                      AccessRow{"10.0.0.0/9 10.128.0.0/9 10.1.2.0/24", "10.127.255.255", true},
                      AccessRow{"10.0.0.0/9 10.128.0.0/9 10.1.2.0/24", "10.128.0.0", true},
                      AccessRow{"10.1.2.0/24 10.0.0.0/9", "10.1.3.0", true},
                      AccessRow{"0.0.0.0/0", "255.255.255.255", true},
                      AccessRow{"0.0.0.0/0", "::ffff:1.2.3.4", true},
                      AccessRow{"0.0.0.0/0", "2001:db8::1", false},
                      AccessRow{"::/0", "2001:db8::1", true}, AccessRow{"::/0", "10.0.0.1", false},
                      AccessRow{"::ffff:10.0.0.0/104", "10.20.30.40", true}));

struct ReloadRow {
  const char* name;
  std::string start;   // the file at start
  std::string reload;  // the file then read for a reload
  KeyId key;
  std::string value;          // what the key then holds
  std::string told;           // every warning of the reload, a line each
  size_t unusable_lines = 0;  // what the reload is told of lines it cannot use
};

void PrintTo(const ReloadRow& row, std::ostream* out) {
  *out << row.name;
}

class SettingsReloading : public ::testing::TestWithParam<ReloadRow> {};

TEST_P(SettingsReloading, KeepsWhatRunsWhereTheFileCannotBeTaken) {
  const ReloadRow& row = GetParam();
  const Settings running = ReadSettings(IniFile::FromText(row.start), "T");
  const Settings s = ReadSettings(IniFile::FromText(row.reload), "T", &running);
  EXPECT_EQ(ValueText(s, row.key), row.value);
  std::string told;
  for (const std::string& line : s.warnings)
    told += line + "\n";
  EXPECT_EQ(told, row.told);
  EXPECT_EQ(s.unusable_lines, row.unusable_lines);
  EXPECT_TRUE(s.errors.empty());
}

const std::string kServer = "[Proxy]\nMaxClients=5\n[Server]\nPort=45062\n";

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsReloading,
    ::testing::Values(
        // A file with a line that cannot be used gives nothing, good values and all.
        ReloadRow{"CutWhileWritten", kServer, "[Proxy]\nMaxClients=9\n[Server]\nPo",
                  KeyId::kServerPort, "45062",
                  "line 4 of T, \"Po\", has no \"=\" and no line end (the file may have been cut "
                  "while it was written); it is not read\n",
                  1},
        ReloadRow{"AGoodValueBesideABadLine", kServer,
                  "[Proxy]\nMaxClients=9\nIdleTimeout\n[Server\nPort=45062\n", KeyId::kMaxClients,
                  "5",
                  "line 3 of T, \"IdleTimeout\", has no \"=\"; it is not read\n"
                  "line 4 of T, \"[Server\", has no \"]\" to close the section's name; the keys "
                  "under it are not read\n",
                  2},
        ReloadRow{"AGoodFile", kServer, "[Proxy]\nMaxClients=9\n", KeyId::kMaxClients, "9", ""},
        // A status listener off loopback is warned of at start, not again at each reload.
        ReloadRow{"AStatusAddressItRunsWith", "[Proxy]\nStatusAddress=0.0.0.0:9150\n",
                  "[Proxy]\nStatusAddress=0.0.0.0:9150\n", KeyId::kStatusAddress, "0.0.0.0:9150",
                  ""},
        // A bad value new to the file keeps the running one...
        ReloadRow{"ANewBadPort", kServer, "[Server]\nPort=abc\n", KeyId::kServerPort, "45062",
                  "Port=abc in [Server] of T is not a port number from 0 to 65535; the running "
                  "value 45062 stays\n"},
        ReloadRow{"ANewBadNumber", kServer, "[Proxy]\nMaxClients=many\n", KeyId::kMaxClients, "5",
                  "MaxClients=many in [Proxy] of T is not a whole number of 0 or more; the "
                  "running value 5 stays\n"},
        // ...but one the relay started with is read as at start, and told as then.
        ReloadRow{"ThePortPastTheTopItRunsWith", "[Server]\nPort=112536\n",
                  "[Server]\nPort=112536\n", KeyId::kServerPort, "112536",
                  "Port=112536 in [Server] of T is not a port number from 0 to 65535; using port "
                  "47000\n"},
        // An access list fails closed: one that cannot be read keeps the list that runs.
        ReloadRow{"ANarrowerAllowList", "[Proxy]\nAllowClients=10.0.0.0/8\n",
                  "[Proxy]\nAllowClients=10.1.0.0/16\n", KeyId::kAllowClients, "10.1.0.0/16", ""},
        ReloadRow{
            "ABadAllowList", "[Proxy]\nAllowClients=10.0.0.0/8\n",
            "[Proxy]\nAllowClients=10.0.0.0/8 10.1/16\n", KeyId::kAllowClients, "10.0.0.0/8",
            "AllowClients=10.0.0.0/8 10.1/16 in [Proxy] of T has the entry \"10.1/16\", which "
            "is not an IPv4 or IPv6 address with /prefix; the running value 10.0.0.0/8 "
            "stays\n"},
        ReloadRow{
            "ABadListOfAThousand",
            [] {
              std::string text = "[Proxy]\nAllowClients=";
              for (int i = 0; i < 1000; ++i)
                text += "10.0." + std::to_string(i / 4) + "." + std::to_string(i % 4 * 64) + "/26 ";
              return text + "\n";
            }(),
            "[Proxy]\nAllowClients=10.0.0.0/8 ::1/129\n", KeyId::kAllowClients,
            [] {
              std::string text;
              for (int i = 0; i < 1000; ++i)
                text += std::string(i == 0 ? "" : " ") + "10.0." + std::to_string(i / 4) + "." +
                        std::to_string(i % 4 * 64) + "/26";
              return text;
            }(),
            "AllowClients=10.0.0.0/8 ::1/129 in [Proxy] of T has the entry \"::1/129\", whose "
            "prefix is not a whole number from 0 to 128; the running value 10.0.0.0/26 "
            "10.0.0.64/26 10.0.0.128/26 10.0.0.192/26 10.0.1.0/26 10.0.1.64/26 ... (1000 "
            "networks) stays\n"},
        ReloadRow{"ABadAllowListWhereNoneRan", "", "[Proxy]\nAllowClients=10.0.0.0/88\n",
                  KeyId::kAllowClients, "",
                  "AllowClients=10.0.0.0/88 in [Proxy] of T has the entry \"10.0.0.0/88\", whose "
                  "prefix is not a whole number from 0 to 32; the running value (none) stays\n"},
        ReloadRow{"TheDefaultItRunsWith", "[Proxy]\nMaxClients=many\n",
                  "[Proxy]\nMaxClients=lots\n", KeyId::kMaxClients, "0",
                  "MaxClients=lots in [Proxy] of T is not a whole number of 0 or more; using 0\n"}),
    [](const ::testing::TestParamInfo<ReloadRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavorin
