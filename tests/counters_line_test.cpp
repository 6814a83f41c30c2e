// The documents against the tables they describe: the keys of the link log's counters line, the
// keys a reload takes and those that take a restart, and the exit statuses in the manual; every
// key with its default in the example settings file, the README and the manual.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/link_log.h"
#include "app/program.h"
#include "app/settings.h"
#include "platform/ini_file.h"
#include "tests/program_checks.h"

namespace tavorin {
namespace {

std::string SourceFile(const std::string& name) {
  std::ifstream file(std::string(TAVORIN_SOURCE_DIR) + "/" + name);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(CountersLine, EveryKeyIsOnceInTheLineAndNamedInTheManPage) {
  const std::string page = SourceFile("packaging/tavorin.1");
  ASSERT_FALSE(page.empty());
  std::set<std::string> seen;
  for (const CounterKey& row : kCountersLine) {
    EXPECT_TRUE(seen.insert(row.key).second) << row.key << " twice";
    EXPECT_NE(page.find(std::string(" ") + row.key + "="), std::string::npos)
        << "packaging/tavorin.1 does not name " << row.key << "= (" << row.what << ")";
  }
}

// The words of the sentence of `page` that begins with `start`: up to the first line that ends
// in a full stop, one sentence a line being how the page is written. "[Server]" is one word.
std::set<std::string> SentenceWords(const std::string& page, const std::string& start) {
  std::set<std::string> words;
  size_t at = page.find(start);
  EXPECT_NE(at, std::string::npos) << "packaging/tavorin.1 has no \"" << start << "\"";
  for (std::string word; at < page.size(); ++at) {
    const char c = page[at];
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '[' || c == ']') {
      word += c;
      continue;
    }
    if (!word.empty())
      words.insert(word);
    word.clear();
    if (c == '.' && (at + 1 == page.size() || page[at + 1] == '\n'))
      break;
  }
  return words;
}

// STOPPING names each key in the list of what a reload changes or in the warning of what takes
// a restart, as the table of keys has it; a name two keys share comes with its section.
TEST(ManPage, ReloadAndRestartListsFollowTheTableOfKeys) {
  const std::string page = SourceFile("packaging/tavorin.1");
  const std::set<std::string> live = SentenceWords(page, "What may change:");
  const std::set<std::string> restart = SentenceWords(page, "what takes a restart");
  for (const Key& key : kKeys) {
    const std::string name = std::string("[") + key.section + "] " + key.name;
    const std::set<std::string>& right = key.live ? live : restart;
    const std::set<std::string>& wrong = key.live ? restart : live;
    bool shared = false;
    for (const Key& other : kKeys)
      shared = shared || (&other != &key && std::string(other.name) == key.name);
    const std::string section = std::string("[") + key.section + "]";
    EXPECT_TRUE(right.count(key.name) && (!shared || right.count(section)))
        << name << " is not in the list of keys that "
        << (key.live ? "a reload changes" : "take a restart");
    EXPECT_FALSE(wrong.count(key.name) && (!shared || wrong.count(section)))
        << name << " is in the list of keys that "
        << (key.live ? "take a restart" : "a reload changes");
  }
}

// The page lists the status a start that no restart mends ends with, and the unit does not
// restart on it.
TEST(ManPage, TheUnitKeepsAConfigurationErrorFailed) {
  const std::string status = std::to_string(kConfigurationError);
  const std::string page = SourceFile("packaging/tavorin.1");
  const size_t section = page.find(".SH EXIT STATUS\n");
  ASSERT_NE(section, std::string::npos);
  EXPECT_NE(page.find(".TP\n.B " + status + "\n", section), std::string::npos);
  EXPECT_NE(page.find(".TP\n.B " + std::to_string(kStartFailed) + "\n", section),
            std::string::npos);
  EXPECT_TRUE(testing::Contains(SourceFile("packaging/tavorin@.service"),
                                "\nRestartPreventExitStatus=" + status + "\n"));
}

// The example settings file, the README's table and the manual's entries name every key with
// its default (and its range where it has one), as the table the relay reads by has them, and
// no other.
TEST(SettingsDocuments, AgreeWithTheTableOfKeys) {
  const IniFile example = IniFile(std::string(TAVORIN_SOURCE_DIR) + "/packaging/TAVORIN.INI");
  ASSERT_EQ(example.problem(), std::nullopt);
  ASSERT_EQ(example.doubt(), std::nullopt);
  EXPECT_TRUE(example.unusable_lines().empty());
  const std::string readme = SourceFile("README.md");
  const std::string manual = SourceFile("packaging/tavorin.1");
  for (const Key& key : kKeys) {
    const std::string name = std::string("[") + key.section + "] " + key.name;
    const std::string fallback = key.fallback;
    if (!fallback.empty()) {
      EXPECT_EQ(example.Value(key.section, key.name, "(none)", 100), fallback) << name;
    } else {  // no value to show: an example, commented out
      EXPECT_TRUE(
          testing::Contains(SourceFile("packaging/TAVORIN.INI"), std::string(";") + key.name + "="))
          << name;
    }
    const std::string row = std::string("| `[") + key.section + "]` | `" + key.name + "` | ";
    const size_t at = readme.find(row);
    ASSERT_NE(at, std::string::npos) << name << " has no row in the README";
    const std::string rest =
        readme.substr(at + row.size(), readme.find('\n', at) - at - row.size());
    if (!fallback.empty()) {
      EXPECT_EQ(rest.rfind("`" + fallback + "` |", 0), 0u) << name << ": " << rest;
    }
    const std::string entry =
        ".BR [" + std::string(key.section) + "] \" " + key.name + "=" + fallback + "\"\n";
    const size_t in_manual = manual.find(entry);
    ASSERT_NE(in_manual, std::string::npos) << name << " has no entry in the manual";
    const std::string text = manual.substr(in_manual, manual.find(".TP", in_manual) - in_manual);
    if ((key.kind == KeyKind::kNumber && key.high > 1 && key.high != UINT32_MAX) ||
        key.kind == KeyKind::kChoice) {
      const std::string range = std::to_string(key.low) +
                                (key.kind == KeyKind::kChoice ? " or " : " to ") +
                                std::to_string(key.high);
      EXPECT_TRUE(testing::Contains(rest, range)) << name;
      EXPECT_TRUE(testing::Contains(text, range)) << name;
    }
  }
  // And neither the example nor the table has a key the relay does not read.
  for (const std::string& section : example.Sections()) {
    for (const std::string& name : example.Keys(section.c_str())) {
      EXPECT_TRUE(
          std::any_of(kKeys.begin(), kKeys.end(),
                      [&](const Key& key) { return section == key.section && name == key.name; }))
          << "[" << section << "] " << name << " in the example";
    }
  }
  EXPECT_EQ(testing::Occurrences(readme, "\n| `["), kKeys.size())
      << "rows of the README's table of settings";
}

}  // namespace
}  // namespace tavorin
