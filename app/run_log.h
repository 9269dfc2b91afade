#pragma once
// The run log, Quenvale.log in the program folder: one line per batch run.
#include <ctime>

// Writes one event (see the event table of the run log) and returns the date
// code YYYYMMDDW of the moment (W the weekday, Sunday 0); -1 when the empty
// event cannot open the log. Events while no log is open write nothing.
int WriteRunLog(const char* event);

// The clock the run log reads: time() unless a test sets its own.
extern time_t (*g_RunLogClock)();

// Date code YYYYMMDDW of a local time.
int DateCodeOf(const struct tm& local);
