// Port numbers as the settings file gives them.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/number.h"

namespace tavorin {
namespace {

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

}  // namespace
}  // namespace tavorin
