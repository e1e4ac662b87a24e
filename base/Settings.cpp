// Storage of the process-wide settings record.
#include "base/Settings.h"

Settings& settings() {
    static Settings instance;
    return instance;
}

void resetSettings() { settings() = Settings{}; }
