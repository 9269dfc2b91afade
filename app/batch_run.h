#pragma once
// The batch run: fetch, back up and convert every listed file.

struct ProcessState;

// The exit code of a batch run that wrote error lines, could not write its
// log, or found another run working in its folder, and of a single-file
// run that wrote no CSV or whose summary box could not be shown (254 on
// POSIX).
constexpr int kRunFailed = -2;

// Runs the whole batch and returns the run result (the exit code): -1 when
// cancelled or aborted, kRunFailed as above, else the last conversion's.
int RunBatch(ProcessState& state);
