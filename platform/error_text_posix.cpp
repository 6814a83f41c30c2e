#include <system_error>

#include "platform/outcome.h"

namespace tavorin {

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

}  // namespace tavorin
