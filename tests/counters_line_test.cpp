// The manual's lists against the tables they describe: the keys of the link log's counters
// line, the keys a reload takes and those that take a restart, and the exit statuses.
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/link_log.h"
#include "app/program.h"
#include "app/settings.h"
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

}  // namespace
}  // namespace tavorin
