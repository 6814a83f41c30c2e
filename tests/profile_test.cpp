// The settings-file reader.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/profile_lookup.h"
#include "tests/program_runner.h"

namespace tavorin {
namespace {

std::string Find(std::string_view text, std::string_view section, std::string_view key,
                 size_t size = 60) {
  return FindProfileString(text, section, key, "default", size);
}

TEST(ProfileLookup, FindsTheKeyInItsSectionOnly) {
  const char* text = "Port=1\n[Proxy]\nPort=2\nLog=a.txt\n[Server]\nPort=3\nIP=h\n";
  EXPECT_EQ(Find(text, "Proxy", "Port"), "2");
  EXPECT_EQ(Find(text, "Server", "Port"), "3");
  EXPECT_EQ(Find(text, "Server", "Log"), "default");
  EXPECT_EQ(Find(text, "Other", "Port"), "default");
  EXPECT_EQ(Find("", "Proxy", "Port"), "default");
}

TEST(ProfileLookup, IsLenientAboutCaseSpacingCommentsAndLineEnds) {
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

TEST(ProfileLookup, TheFirstMatchWinsAndAnEmptyValueIsAValue) {
  EXPECT_EQ(Find("[Proxy]\nPort=1\nPort=2\n[Proxy]\nPort=3\n", "Proxy", "Port"), "1");
  EXPECT_EQ(Find("[Proxy]\n[Server]\n[Proxy]\nPort=3\n", "Proxy", "Port"), "3");
  EXPECT_EQ(Find("[Proxy]\nLog=\nLog=x\n", "Proxy", "Log"), "");
  EXPECT_EQ(Find("[Proxy]\nLog=  \n", "Proxy", "Log"), "");
}

TEST(ProfileLookup, ValuesAreCutToSizeLessOne) {
  std::string text = "[S]\nK=" + std::string(100, 'v') + "\n";
  EXPECT_EQ(Find(text, "S", "K", 16), std::string(15, 'v'));
  EXPECT_EQ(Find(text, "S", "K", 1), "");
  EXPECT_EQ(Find(text, "S", "K", 0), "");
  EXPECT_EQ(FindProfileString("", "S", "K", "123456789", 4), "123") << "defaults too";
  EXPECT_EQ(Find(std::string("[S]\nK=ab\0cd\n", 12), "S", "K"), "ab");
}

class ProfileFile : public ::testing::Test {
 protected:
  std::string Get(const char* key = "Port", size_t size = 16) {
    return GetProfileString("Proxy", key, "15000", size, dir_.File("TAVORIN.INI"));
  }
  testing::TempDir dir_;
};

TEST_F(ProfileFile, ReadsTheFileOrGivesTheDefault) {
  EXPECT_EQ(Get(), "15000") << "no file";
  dir_.Write("TAVORIN.INI", "[Proxy]\r\nPort=40000\r\nLog=\r\n");
  EXPECT_EQ(Get(), "40000");
  EXPECT_EQ(Get("Log", 60), "");
  EXPECT_EQ(Get("IP", 60), "15000");
}

TEST_F(ProfileFile, HostileFilesGiveDefaultsOrBoundedValues) {
  mkdir(dir_.File("TAVORIN.INI").c_str(), 0755);
  EXPECT_EQ(Get(), "15000") << "a directory";
  rmdir(dir_.File("TAVORIN.INI").c_str());

  mkfifo(dir_.File("TAVORIN.INI").c_str(), 0644);
  EXPECT_EQ(Get(), "15000") << "a named pipe with no writer";
  unlink(dir_.File("TAVORIN.INI").c_str());

  std::string binary;
  for (int i = 0; i < 200000; ++i)
    binary.push_back(static_cast<char>(i * 7919 % 256));
  dir_.Write("TAVORIN.INI", binary + "\n[Proxy]\nPort=1\n");
  EXPECT_EQ(Get(), "1") << "binary garbage before the section";

  dir_.Write("TAVORIN.INI", "[Proxy]\nPort=" + std::string(1 << 20, '7') + "\nLog=x\n");
  EXPECT_EQ(Get(), std::string(15, '7')) << "a megabyte line";
  EXPECT_EQ(Get("Log", 60), "x") << "the line after it is still read";

  if (geteuid() != 0) {  // root reads whatever the mode says
    dir_.Write("TAVORIN.INI", "[Proxy]\nPort=1\n");
    chmod(dir_.File("TAVORIN.INI").c_str(), 0);
    EXPECT_EQ(Get(), "15000") << "unreadable";
  }
}

TEST(JoinPath, AlwaysAddsTheSeparator) {
  EXPECT_EQ(JoinPath("/home/u", "TAVORIN.INI"), "/home/u/TAVORIN.INI");
  EXPECT_EQ(JoinPath("/", "TAVORIN.INI"), "//TAVORIN.INI");
  std::string deep(5000, 'd');
  EXPECT_EQ(JoinPath(deep, "packets.txt").size(), 5000u + 1 + 11) << "no fixed buffer";
}

}  // namespace
}  // namespace tavorin
