// Placeholder run sequence.
#include "app/RunSequence.h"

int runProgram(int, char**) {
    return 0;
}
