#pragma once
// The progress window, message boxes and the terminal: what the system shows
// and how the user answers. This layer paints and polls; when to paint and
// how often to look for input is decided above it (app/progress.h).
//
// Windows: a modeless dialog made from the IndicatorBox template, and
// MessageBoxW. POSIX: a progress line on standard error when it is a
// terminal, Ctrl+C as the cancel button (confirmed on the terminal), message
// boxes printed to standard error with their caption. Texts are Shift-JIS;
// the Windows layer hands them to the windows as UTF-16 (code page 932
// whatever the system's code page), the POSIX layer converts them to the
// terminal's encoding.

// Message box styles and answers, with the Windows values.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbYesNo = 0x4;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Opens the progress window; false when it cannot be made (the work then
// goes on without one). CloseIndicator closes an open one.
bool OpenIndicator();
void CloseIndicator();
// Shows text as the status line, and caption as the window's caption unless
// caption is null (unchanged).
void PaintIndicator(const char* caption, const char* text);
// Lets the window react to the input that is waiting. True when the user
// pressed the cancel button (POSIX: Ctrl+C) since the last call; the input
// after that press waits for the next call.
bool ServeIndicator();
// Asks "キャンセルしますか" (Yes / No; owned by the progress window, or on
// the terminal). True for Yes; on POSIX also when there is no terminal to
// ask, so that Ctrl+C there cancels at once.
bool ConfirmCancel();

// Modal message box with no owner; returns the button pressed, or 0 when the
// box could not be shown (Windows: no display for the process, a desktop
// going down): its caption, text and reason then go to standard error.
int ShowMessageBox(const char* text, const char* caption, unsigned style);

// Says why an unattended run failed to whoever started it, without waiting
// for an answer: it goes to standard error with the caption, as POSIX
// prints a message box ("<caption>: <text>"; Windows writes the Shift-JIS
// bytes, and nothing when the program was given no standard error).
void TellWithoutWaiting(const char* text, const char* caption);

// Writes the program's Shift-JIS text to a console program's standard output
// (toError false) or standard error, so that its reader can read it: POSIX
// in the terminal's code set (as message boxes are), Windows to a console in
// UTF-16 whatever its code page, and as Shift-JIS bytes to a file or pipe.
void WriteConsoleText(const char* text, bool toError);

// True once the system asked the run to stop. POSIX: SIGTERM or SIGHUP at
// any time, SIGINT while no progress window is open (with one open, Ctrl+C
// is its cancel button and asks first). The run then ends as a confirmed
// cancel does. Windows: a GUI program is ended without asking; never true.
bool StopRequested();
// Installs what StopRequested and the Ctrl+C button listen to; once, at
// start-up (OpenIndicator does it too).
void ListenForStop();
