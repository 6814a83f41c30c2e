// tavorin: a console UDP relay. Takes no arguments but --help and --version; see README.md.
#include <optional>

#include "app/program.h"

int main(int argc, char** argv) {
  if (std::optional<int> answered = tavorin::AnswerArguments(argc, argv))
    return *answered;
  return tavorin::RunProgram();
}
