#pragma once
// Helpers shared by the fuzz targets: a program folder of their own and
// whole-file writes. Kept free of the C++ library's heavier parts so a run
// costs little.
#include <cstddef>
#include <cstdint>

#include "base/settings.h"

// The libFuzzer entry every target defines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Creates, once per process, an empty program folder (in /dev/shm when it is
// there, else the temporary folder) and removes it at exit. Returns the
// folder, ending with the separator.
const char* FuzzProgramFolder();
// Writes size bytes to folder + name, replacing the file; aborts on failure,
// since a run that cannot set up its files proves nothing.
void FuzzWriteFile(const char* folder, const char* name, const void* data, size_t size);
// Reads folder + name into buf (at most size bytes); returns the count, or -1
// when the file is missing.
long FuzzReadFile(const char* folder, const char* name, char* buf, size_t size);
// Finds the first occurrence of mark in data; returns its offset or size.
size_t FuzzFind(const uint8_t* data, size_t size, const char* mark);
// The settings of a settings text, as a run reads them: written as the
// program folder's Quenvale.ini and read by LoadSettings. The one way the
// targets make their settings.
void FuzzSettings(const void* text, size_t size, Settings* settings);
