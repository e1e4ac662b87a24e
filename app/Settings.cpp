// Storage of the process-wide settings record.
#include "app/Settings.h"

Settings& settings() {
    static Settings instance;
    return instance;
}

void resetSettings() {
    settings() = Settings{};
}
