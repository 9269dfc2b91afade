#pragma once
// Single-file mode: the program started with a file base name converts that
// one file in its own folder, writes the report of the codes it could not
// convert (CodeErr.csv), and ends with a summary box.

struct ProcessState;

// Converts state.fileBaseName; returns the conversion's result (the error
// total, or -1 when cancelled or stopped), or kRunFailed when the summary
// box could not be shown.
int RunSingleFile(ProcessState& state);
