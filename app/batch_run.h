#pragma once
// The batch run: fetch, back up and convert every listed file.

struct ProcessState;

// Runs the whole batch and returns the run result (the exit code).
int RunBatch(ProcessState& state);
