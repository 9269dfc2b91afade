#pragma once
// The progress window of a run, and the one owner of its state: open or
// not, the cancel flag, the texts it shows, and when it last painted and
// looked for input. The platform paints and polls (platform/ui.h); this is
// when and what.
//
// Within one caption the status line is repainted at most every 50 ms (a
// new caption at once), and input is served at most every 10 ms (and on
// every new caption): under Wine each is a round trip to its server, which
// every 100 records would cost a large part of a conversion. A click still
// gets its answer within a blink.
#include "base/progress.h"

// Opens (show != 0) or closes (show == 0) the progress window; both clear
// the cancel flag.
void ShowIndicator(int show);

// Shows caption and status text (cut at a whole character to 255 bytes),
// serves waiting input and returns the cancel flag: 1 once the user confirmed
// a cancel, until the window closes. With no window open it returns 0. Either
// way 1 once the system asked the run to stop.
int UpdateIndicator(const char* caption, const char* text);

// A message box, shown once the progress window shows the last status behind
// it (the count the box speaks of).
int ShowBox(const char* text, const char* caption, unsigned style);

// UpdateIndicator, as the jobs take it.
Progress* IndicatorProgress();
