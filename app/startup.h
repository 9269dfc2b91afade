#pragma once
// Start-up: the program folder, the settings path and the choice of mode.

// Runs the program for the argument string as Windows passes it (everything
// after the program's own name, blanks before it skipped). Returns the exit
// code: the single-file conversion's result, or the batch run's.
int RunProgram(const char* argString);
