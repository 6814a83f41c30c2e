#include <cstring>

#include "platform/outcome.h"

namespace tavorin {

std::string ErrorText(int error) {
  return std::strerror(error);
}

}  // namespace tavorin
