#include "Program.h"

#include <iostream>

namespace Formwright {
void printUsage() { std::cout << "Kalvex Palom - Formwright\n\n" << std::flush; }
int runProgram(int, char**) {
  printUsage();
  return -1;
}
}  // namespace Formwright
