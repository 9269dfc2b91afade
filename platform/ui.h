#pragma once
// The progress window, message boxes and the terminal.
//
// Windows: a modeless dialog made from the IndicatorBox template, and
// MessageBoxA. POSIX: a progress line on standard error when it is a terminal,
// Ctrl+C as the cancel button (confirmed on the terminal), message boxes
// printed to standard error with their caption. Texts are Shift-JIS; the POSIX
// layer converts them to the terminal's encoding.

// Message box styles and answers, with the Windows values.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbYesNo = 0x4;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Opens (show != 0) or closes (show == 0) the progress window; both clear the
// cancel flag. Returns the window handle, null once closed.
void* ShowIndicator(void* parent, int show);

// Shows caption and status text, serves pending input and returns the cancel
// flag (0 or 1); 0 when no progress window is open, unless the system asked
// the run to stop (see StopRequested): then 1 with or without a window.
int UpdateIndicator(const char* caption, const char* text);

// True once the system asked the run to stop. POSIX: SIGTERM or SIGHUP at
// any time, SIGINT while no progress window is open (with one open, Ctrl+C
// is its cancel button and asks first). The run then ends as a confirmed
// cancel does. Windows: a GUI program is ended without asking; never true.
bool StopRequested();
// Installs what StopRequested listens to; once, at start-up.
void ListenForStop();

// Shows at once the texts of an UpdateIndicator whose repaint was put off
// (repaints follow each other at most every 50 ms within one caption).
// Message boxes do this themselves.
void FlushIndicator();

// Modal message box with no owner; returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, unsigned style);
