// The run sequence: parse the command line, run one of the three flows
// (compress; compress and test; extract), print "End.", and turn every
// error into "ERROR: ..." on standard error and the result -1.
#pragma once

int runProgram(int argc, char** argv);
