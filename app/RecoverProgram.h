// The recover program's run: reads its command line, recovers a damaged
// packed file into an output written whole or not at all, and turns every
// error into "ERROR: ..." on standard error and the result -1.
#pragma once

// Returns 0 when every block was recovered and the file headers agree with
// them, 1 when some range was lost or the original's length is unsure, -1
// (exit status 255) when nothing could be recovered or the run failed.
int runRecoverProgram(int argc, char** argv);
