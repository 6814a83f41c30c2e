// The status listener's requests, judged as they come in pieces: what it serves, and the
// status of what it refuses.
#include <gtest/gtest.h>

#include "app/status_http.h"

namespace tavorin {
namespace {

TEST(StatusHttp, ServesThreePathsAndRefusesTheRest) {
  struct Row {
    std::string head;
    bool complete;
    int refusal;
    StatusPage page;
  } rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", true, 0, StatusPage::kMetrics},
      {"HEAD /health?probe=1 HTTP/1.0\n\n", true, 0, StatusPage::kHealth},
      {"GET /links HTTP/1.1\r\n\r\nbody ignored", true, 0, StatusPage::kLinks},
      {"GET /metrics HTTP/1.1\r\nHost: a\r\n", false, 0, StatusPage::kNone},
      {"GET /other HTTP/1.1\r\n\r\n", true, 404, StatusPage::kNone},
      {"POST /metrics HTTP/1.1\r\n\r\n", true, 405, StatusPage::kNone},
      {"GET /metrics\r\n\r\n", true, 400, StatusPage::kNone},
      {"GET /metrics SPDY/3\r\n\r\n", true, 400, StatusPage::kNone},
      {std::string(kLongestRequestHead + 1, 'x'), false, 431, StatusPage::kNone},
      {"GET /health HTTP/1.1\r\nX: " + std::string(kLongestRequestHead, 'x') + "\r\n\r\n", true,
       431, StatusPage::kNone},
  };
  for (const Row& row : rows) {
    const StatusRequest request = JudgeRequest(row.head);
    EXPECT_EQ(request.complete, row.complete) << row.head.substr(0, 40);
    EXPECT_EQ(request.refusal, row.refusal) << row.head.substr(0, 40);
    EXPECT_EQ(request.page, row.page) << row.head.substr(0, 40);
  }
  EXPECT_TRUE(JudgeRequest("HEAD /health HTTP/1.1\r\n\r\n").head_only);
  EXPECT_EQ(StatusAnswer(503, "text/plain", "stopping\n", true),
            "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: "
            "9\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace tavorin
