// tavorin: a console UDP relay. Takes no arguments; see README.md.
#include "app/program.h"

int main() {
  return tavorin::RunProgram();
}
