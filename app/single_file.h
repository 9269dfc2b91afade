#pragma once
// Single-file mode: the program started with a file base name converts that
// one file in its own folder, writes the report of the codes it could not
// convert (CodeErr.csv), and ends with a summary box.

struct ProcessState;

// Converts state.fileBaseName; returns the conversion's result (the error
// total) when it wrote the CSV and showed its summary, kRunFailed when it
// did not, -1 when cancelled or stopped.
int RunSingleFile(ProcessState& state);
