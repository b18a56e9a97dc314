#pragma once

#include "SettingsStore.h"

// The program's own settings store, by the name rules/SettingsTable.h gives it.
platform::SettingsStore OpenSettings();

// Writes what was saved to the store. When it cannot, a box says so and where the settings
// live; false then.
bool SyncSettings(platform::SettingsStore& store);
