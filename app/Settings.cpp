// Storage of the process-wide settings record, and the plan made from it.
#include "app/Settings.h"

Settings& settings() {
    static Settings instance;
    return instance;
}

void resetSettings() { settings() = Settings{}; }

BlockPlan blockPlanOf(const Settings& s, unsigned threads) {
    BlockPlan plan;
    plan.method = s.mtf0 ? CodingMethod::Mtf : s.dc ? CodingMethod::Dc : CodingMethod::Mtf1;
    plan.staticCoder = !s.adaptiveCoder;
    plan.rle0 = s.rle0;
    plan.prefixCode = s.dcPrefixCode;
    plan.verbose = s.verbose;
    plan.blockSize = s.blockSize;
    plan.threads = threads;
    return plan;
}
