#pragma once
// Reads the settings file once into the run's Settings: every key and
// section the run uses, with the settings reader's rules (platform/profile.h)
// and no byte limit of ours: a value or section longer than the first
// buffer is read again into a larger one. A missing file gives the
// defaults.
#include "base/settings.h"

void LoadSettings(const char* path, Settings* settings);
