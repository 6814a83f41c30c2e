// tavorin: a console UDP relay. Takes no arguments but --help, --version and, on Windows, those
// that install and remove it as a service; see README.md.
#include <optional>

#include "app/arguments.h"
#include "app/program.h"
#include "platform/system_service.h"

int main(int argc, char** argv) {
  if (std::optional<int> answered = tavorin::AnswerArguments(argc, argv))
    return *answered;
  // Started by Windows' service manager: the same relay, without a console.
  if (std::optional<int> served =
          tavorin::RunAsService([] { return tavorin::RunProgram(tavorin::Console::kAbsent); },
                                tavorin::kConfigurationError))
    return *served;
  return tavorin::RunProgram();
}
