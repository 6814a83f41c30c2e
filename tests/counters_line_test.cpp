// The keys of the link log's counters line, against the manual that explains them.
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/link_log.h"

namespace tavorin {
namespace {

TEST(CountersLine, EveryKeyIsOnceInTheLineAndNamedInTheManPage) {
  std::ifstream file(std::string(TAVORIN_SOURCE_DIR) + "/packaging/tavorin.1");
  ASSERT_TRUE(file.is_open());
  std::ostringstream page;
  page << file.rdbuf();
  std::set<std::string> seen;
  for (const CounterKey& row : kCountersLine) {
    EXPECT_TRUE(seen.insert(row.key).second) << row.key << " twice";
    EXPECT_NE(page.str().find(std::string(" ") + row.key + "="), std::string::npos)
        << "packaging/tavorin.1 does not name " << row.key << "= (" << row.what << ")";
  }
}

}  // namespace
}  // namespace tavorin
