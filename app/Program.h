#pragma once

/// The whole command: arguments, calibration, configuration, one driver call. Returns the
/// exit status, 0 on success and -1 on every failure (the usage cases included).
int runProgram(int argc, char** argv);

/// Writes the usage text to standard output.
void printUsage();
