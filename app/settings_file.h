#pragma once
// Reads the settings file once into the run's Settings: its bytes are read
// once and parsed in memory with the Windows profile rules
// (base/profile_text.h), every setting of base/settings.h's list taken from
// them whole. A value a row does not take gets the row's line in errors
// (when given), once. A missing file gives the defaults.
#include "base/error_text.h"
#include "base/settings.h"

void LoadSettings(const char* path, Settings* settings, ErrorText* errors = nullptr);
