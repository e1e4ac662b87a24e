// Process entry: hands the arguments to the run sequence and returns its result.
#include "app/RunSequence.h"

int main(int argc, char** argv) { return runProgram(argc, argv); }
