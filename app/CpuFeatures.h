// Asks the processor which features the fast code paths may use; called once
// at the start of a run, and the answer is passed down as a value.
#pragma once

#include "base/CpuFeatures.h"

// The features of the processor this runs on; all false on other processors
// and compilers, and in builds of the plain kernels only.
CpuFeatures detectCpuFeatures();
