// Finding a value in a settings file's text.
#include <string>

#include <gtest/gtest.h>

#include "platform/ini_lookup.h"

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

}  // namespace
}  // namespace tavorin
