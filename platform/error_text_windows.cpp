#include <windows.h>
#include <winsock2.h>

#include "platform/outcome.h"

namespace tavorin {

std::string ErrorText(int error) {
  // The errors a relay meets most, in the same words on every Windows (Wine's message table
  // lacks some of them).
  switch (error) {
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEACCES:
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case WSAEADDRNOTAVAIL:
      return "Cannot assign requested address";
    case WSAEMFILE:
    case WSAENOBUFS:
      return "No socket available";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Not enough memory";
    default:
      break;
  }
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
    --n;
  if (n == 0)
    return "Windows error " + std::to_string(error);
  return std::string(text, n);
}

}  // namespace tavorin
