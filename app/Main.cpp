#include "Program.h"

int main(int argc, char** argv) { return Formwright::runProgram(argc, argv); }
