// Process entry of the recover program: hands the arguments to its run.
#include "app/RecoverProgram.h"

int main(int argc, char** argv) { return runRecoverProgram(argc, argv); }
