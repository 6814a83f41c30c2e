// The settings-file reader on files, and paths.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "tests/program_runner.h"

namespace tavorin {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::string Get(const char* key = "Port", size_t size = 16) {
    return IniFile(dir_.File("TAVORIN.INI")).Value("Proxy", key, "15000", size);
  }
  testing::TempDir dir_;
};

TEST_F(IniFileTest, ReadsTheFileOrGivesTheDefault) {
  EXPECT_EQ(Get(), "15000") << "no file";
  dir_.Write("TAVORIN.INI", "[Proxy]\r\nPort=40000\r\nLog=\r\n");
  EXPECT_EQ(Get(), "40000");
  EXPECT_EQ(Get("Log", 60), "");
  EXPECT_EQ(Get("IP", 60), "15000");
}

// What the system's reader on Windows takes: CR-only line ends, and UTF-16 with a byte-order mark.
TEST_F(IniFileTest, LineEndsAndTextFormsOfOtherSystems) {
  const std::string text = "[Server]\nIP=10.0.0.1\n[Proxy]\nLog=r\xC3\xA9seau.txt\nPort=40000\n";
  auto utf16 = [&](bool little) {
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : std::string("[Server]\r\nIP=10.0.0.1\r\n[Proxy]\r\nLog=r")) {
      out += little ? std::string{c, '\0'} : std::string{'\0', c};
    }
    out += little ? std::string("\xE9\0", 2) : std::string("\0\xE9", 2);  // e with an accent
    for (char c : std::string("seau.txt\r\nPort=40000\r\n"))
      out += little ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
  };
  std::string cr_only = text;
  std::replace(cr_only.begin(), cr_only.end(), '\n', '\r');
  for (const std::string& form : {cr_only, utf16(true), utf16(false)}) {
    dir_.Write("TAVORIN.INI", form);
    EXPECT_EQ(Get(), "40000");
    EXPECT_EQ(Get("Log", 60), "r\xC3\xA9seau.txt");
  }
}

TEST_F(IniFileTest, HostileFilesGiveDefaultsOrBoundedValues) {
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

TEST(ExampleSettings, TheInstalledExampleGivesEveryDefault) {
  const std::string example = std::string(TAVORIN_SOURCE_DIR) + "/packaging/TAVORIN.INI";
  const IniFile file(example);
  ASSERT_EQ(file.problem(), std::nullopt);
  EXPECT_EQ(file.Value("Proxy", "Port", "", 16), "15000");
  EXPECT_EQ(file.Value("Proxy", "Log", "", 60), "packets.txt");
  EXPECT_EQ(file.Value("Server", "Port", "", 16), "2000");
  EXPECT_EQ(file.Value("Server", "IP", "", 60), "127.0.0.1");
}

}  // namespace
}  // namespace tavorin
