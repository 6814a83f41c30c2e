// The settings-file reader on files, and paths.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "tests/program_checks.h"

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
  // Caught while an editor writes it: the last line is cut short.
  dir_.Write("TAVORIN.INI", "[Proxy]\r\nPort=40000\r\nPo");
  const IniFile cut(dir_.File("TAVORIN.INI"));
  ASSERT_EQ(cut.unusable_lines().size(), 1u);
  EXPECT_EQ(cut.unusable_lines()[0].number, 3u);
  EXPECT_EQ(cut.unusable_lines()[0].text, "Po");
}

// What Windows tools write: CR-only line ends, and UTF-16 with a byte-order mark.
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

// Something at the file's path that cannot be read gives the defaults, and the reader says why
// (the relay's warning then names the file with it).
TEST(IniFile, WhatCannotBeReadGivesTheDefaultsAndIsToldWhy) {
  struct Case {
    const char* what;
    void (*make)(const std::string& path);
    std::string reason;
  };
  const Case cases[] = {
      {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0755); },
       "it is a directory, not a file"},
      {"a named pipe with no writer", [](const std::string& p) { mkfifo(p.c_str(), 0644); },
       "it is a named pipe, not a file"},
      {"a device", [](const std::string& p) { symlink("/dev/zero", p.c_str()); },
       "it is a device, not a file"},
      {"a symbolic link that loops",
       [](const std::string& p) { symlink("TAVORIN.INI", p.c_str()); }, std::strerror(ELOOP)},
      {"a symbolic link to nothing", [](const std::string& p) { symlink("gone.ini", p.c_str()); },
       std::strerror(ENOENT)},
      {"a file larger than the reader takes",
       [](const std::string& p) {
         std::ofstream(p) << "[Proxy]\nPort=1\n";
         std::filesystem::resize_file(p, kLargestIniFile + 1);
       },
       "it is larger than the 64 MiB the reader takes"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    c.make(dir.File("TAVORIN.INI"));
    const IniFile file(dir.File("TAVORIN.INI"));
    EXPECT_EQ(file.problem(), c.reason) << c.what;
    EXPECT_EQ(file.Value("Proxy", "Port", "15000", 16), "15000") << c.what;
  }
  testing::TempDir empty;
  EXPECT_EQ(IniFile(empty.File("TAVORIN.INI")).problem(), std::nullopt) << "no file: no problem";
}

TEST_F(IniFileTest, HostileFilesGiveDefaultsOrBoundedValues) {
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

}  // namespace
}  // namespace tavorin
