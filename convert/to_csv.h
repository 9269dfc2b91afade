#pragma once
// Converting one host file image into a CSV file.
#include <cstdint>

// Converts <name>.db2 into <name>.csv, guided by <name>.fdf in the program
// folder. subFolder "" is single-file mode (files in the program folder,
// CodeErr.csv, summary box); otherwise the files lie in that sub-folder.
// Returns the error total, or -1 when the user cancelled.
int toCSV(const char* subFolder, const char* name);
// Trims ASCII and full-width blanks in place; returns the new length.
int TrimBlanks(char* text);
// Reads a 64-bit integer from text with separators, a currency backslash and
// quotes.
int64_t TextToInt64(const char* text);

// The progress update and the summary box that toCSV calls. They point at
// UpdateIndicator and ShowMessageBox of platform/ui.h; the unit tests point
// them at recorders.
extern int (*g_ToCsvUpdateIndicator)(const char* caption, const char* text);
extern int (*g_ToCsvMessageBox)(const char* text, const char* caption, unsigned style);
