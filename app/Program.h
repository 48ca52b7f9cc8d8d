#pragma once

namespace Formwright {
/// The whole command: arguments, calibration, configuration, one driver call. Returns the
/// exit status (0 or -1).
int runProgram(int argc, char** argv);
/// Writes the usage text to standard output.
void printUsage();
}  // namespace Formwright
