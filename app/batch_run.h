#pragma once
// The batch run: fetch, back up and convert every listed file.

// Runs the whole batch and returns the run result (the exit code).
int RunBatch();

// Entry name of one [DB2] settings line for the conversion walk: the text
// after the line's first '/' (a '/' opening the line does not count), split
// at its first '.' into file and member. Returns 1 with the name in entry,
// 0 when the line names no file (no '/' or no '.'), -1 when the name would be
// longer than entrySize - 1 bytes (entry then empty).
int ConversionEntryName(const char* line, char* entry, int entrySize);
