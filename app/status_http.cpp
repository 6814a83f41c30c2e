#include "app/status_http.h"

namespace tavorin {

namespace {
struct Path {
  std::string_view path;
  StatusPage page;
};
constexpr Path kPaths[] = {
    {"/metrics", StatusPage::kMetrics},
    {"/health", StatusPage::kHealth},
    {"/links", StatusPage::kLinks},
};

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}
}  // namespace

StatusRequest JudgeRequest(std::string_view head) {
  StatusRequest request;
  size_t end = head.find("\r\n\r\n");
  if (end == std::string_view::npos)
    end = head.find("\n\n");
  if (end == std::string_view::npos) {
    if (head.size() > kLongestRequestHead)
      request.refusal = 431;
    return request;
  }
  request.complete = true;
  if (end > kLongestRequestHead) {
    request.refusal = 431;
    return request;
  }
  std::string_view line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last ||
      !line.substr(last + 1).starts_with("HTTP/1.")) {
    request.refusal = 400;
    return request;
  }
  const std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, last - first - 1);
  target = target.substr(0, target.find('?'));
  if (method != "GET" && method != "HEAD") {
    request.refusal = 405;
    return request;
  }
  request.head_only = method == "HEAD";
  for (const Path& path : kPaths) {
    if (target == path.path)
      request.page = path.page;
  }
  if (request.page == StatusPage::kNone)
    request.refusal = 404;
  return request;
}

std::string StatusAnswer(int status, std::string_view content_type, std::string_view body,
                         bool head_only) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                       "\r\nContent-Type: " + std::string(content_type) +
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n";
  if (status == 405)
    answer += "Allow: GET, HEAD\r\n";
  answer += "\r\n";
  if (!head_only)
    answer += body;
  return answer;
}

}  // namespace tavorin
