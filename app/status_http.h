// The little HTTP the status listener speaks: a request head read and judged, and an answer
// written. GET alone, of three paths; everything bounded, nothing kept between requests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavorin {

enum class StatusPage { kNone, kMetrics, kHealth, kLinks };

// The longest request head taken: a scraper's or a balancer's fits in a few hundred bytes.
inline constexpr size_t kLongestRequestHead = 4096;

struct StatusRequest {
  bool complete = false;  // the head has ended (a blank line); else more may come
  int refusal = 0;        // the status of the answer when the request cannot be served; else 0
  StatusPage page = StatusPage::kNone;
  bool head_only = false;  // HEAD: the answer without its body
};

// Judges `head`, the bytes received so far: complete once it holds a blank line (the body, if
// any, is never read), refused when it is longer than kLongestRequestHead without one (431),
// is no HTTP/1.x request line (400), asks with another method than GET or HEAD (405), or for
// another path (404; a query is ignored).
StatusRequest JudgeRequest(std::string_view head);

// A whole answer: the status line, the content type and length, "Connection: close", and the
// body unless `head_only`.
std::string StatusAnswer(int status, std::string_view content_type, std::string_view body,
                         bool head_only = false);

}  // namespace tavorin
