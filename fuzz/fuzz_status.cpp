// The status listener's judgement of a request head, on any bytes: never a crash, never an
// answer to a head longer than it takes, and a complete GET of a known path is served.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/status_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view head(reinterpret_cast<const char*>(data), size);
  const tavorin::StatusRequest request = tavorin::JudgeRequest(head);
  if (request.refusal == 0 && request.complete && request.page == tavorin::StatusPage::kNone)
    std::abort();
  if (request.refusal == 0 && size > tavorin::kLongestRequestHead && !request.complete)
    std::abort();
  (void)tavorin::StatusAnswer(request.refusal == 0 ? 200 : request.refusal, "text/plain", head,
                              request.head_only);
  return 0;
}
