#pragma once
// Running an external program and waiting, under a time limit, until no
// process of its file name is left.

// Starts "program" args and watches it; always returns 0.
int RunWatchedProcess(const char* program, const char* args);
