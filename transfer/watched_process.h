#pragma once
// Running an external program and waiting, under a time limit, until it
// and what it started have ended.
#include "base/settings.h"

// What ended a watch.
constexpr int kWatchDone = 0;
constexpr int kWatchTimedOut = 1;  // the started process had to be terminated at the limit

// Starts "program" args and watches it: one pass every 100 ms looks whether
// the started process or what it started (its job, its process group) still
// runs, whatever their executables are called; other processes, of the same
// name or not, are never waited for. Once more whole seconds than TimeLimit
// (settings, default 3600) have passed, every pass terminates the started
// process and what it started, and the watch ends once they are gone, or
// at most 5 seconds later: kWatchTimedOut when one was still running at the
// limit, else kWatchDone. A command line longer than 255 characters
// is refused: nothing is started.
// When the run is asked to stop (StopRequested), the started process is
// terminated and the watch ends at once.
// With arguments (program first, ended by a null pointer, saying what
// program and args say), POSIX starts the program with them as they are,
// unsplit: see StartProcessWithArguments. exitCode, when given, receives the
// started process's exit status, -1 when it was terminated or is unknown.
int RunWatchedProcess(const Settings& settings, const char* program, const char* args,
                      const char* const* arguments = nullptr, int* exitCode = nullptr);

// Pieces of the watch, exposed for tests.

// Builds the command line: program in double quotes, then a blank and args
// when args is not empty. False (out emptied) when it exceeds outSize - 1.
bool BuildCommandLine(const char* program, const char* args, char* out, int outSize);

// The time limit text converted as atoi does (leading white space, a sign,
// the digits up to the first other character; no digits give 0), kept within
// the int range.
int TimeLimitFromText(const char* text);
