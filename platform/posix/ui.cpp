#include "platform/ui.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/texts.h"
#include "platform/posix/encoding.h"

// The progress window of a terminal program: one line on standard error,
// rewritten in place, and Ctrl+C in place of the cancel button. Ctrl+C only
// marks the press; the run asks about it at its next look, as the Windows
// program asks in its confirmation box, so the work is never broken off in
// the middle of a record or a chunk.

namespace {

bool g_Open;
bool g_Listening;
// Set by the signal handler: Ctrl+C while the window is open (to be asked
// about), and a stop asked for by the system.
volatile sig_atomic_t g_WindowOpen;
volatile sig_atomic_t g_InterruptPending;
volatile sig_atomic_t g_StopRequested;
bool g_LineShown;  // a progress line is on the terminal without its line end
char g_Caption[256];

void OnSignal(int signal) {
  if (signal == SIGINT && g_WindowOpen) {
    g_InterruptPending = 1;
  } else {
    g_StopRequested = 1;
  }
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

// Ends a progress line so that the next text starts on a line of its own.
void EndLine() {
  if (g_LineShown) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    g_LineShown = false;
  }
}

// Asks a yes/no question on the controlling terminal. 1 for yes, 0 for no,
// -1 when there is no terminal to ask.
int AskOnTerminal(const char* question) {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return -1;
  char shown[512];
  SjisToTerminal(question, shown, sizeof shown);
  char prompt[600];
  const int len = std::snprintf(prompt, sizeof prompt, "%s (y/n) ", shown);
  if (write(tty, prompt, static_cast<size_t>(len)) < 0) {
    close(tty);
    return -1;
  }
  char answer[64];
  size_t got = 0;
  int result = 0;
  for (;;) {
    char c;
    const ssize_t n = read(tty, &c, 1);
    if (n < 0 && errno == EINTR) {
      // Ctrl+C again while asked (or a stop): taken as insisting.
      g_InterruptPending = 0;
      result = 1;
      if (write(tty, "\n", 1) < 0) {
      }
      break;
    }
    if (n <= 0) {  // the terminal went away: nobody left to say no
      result = 1;
      break;
    }
    if (c == '\n' || c == '\r') {
      answer[got < sizeof answer ? got : sizeof answer - 1] = '\0';
      result = (answer[0] == 'y' || answer[0] == 'Y') ? 1 : 0;
      break;
    }
    if (got < sizeof answer - 1) answer[got++] = c;
  }
  close(tty);
  return result;
}

}  // namespace

void ListenForStop() {
  if (g_Listening) return;
  g_Listening = true;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a question being asked sees the signal
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

bool StopRequested() { return g_StopRequested != 0; }

bool OpenIndicator() {
  ListenForStop();
  g_InterruptPending = 0;
  g_Caption[0] = '\0';
  g_Open = true;
  g_WindowOpen = 1;
  return true;
}

void CloseIndicator() {
  if (!g_Open) return;
  EndLine();
  g_Open = false;
  g_WindowOpen = 0;
  g_InterruptPending = 0;
}

void PaintIndicator(const char* caption, const char* text) {
  if (!g_Open) return;
  if (caption != nullptr) std::snprintf(g_Caption, sizeof g_Caption, "%s", caption);
  if (!StderrIsTerminal()) return;
  char line[600];
  std::snprintf(line, sizeof line, "%s %s", g_Caption, text);
  char shown[1800];
  SjisToTerminal(line, shown, sizeof shown);
  // Carriage return, the line, and the rest of the old line cleared.
  std::fprintf(stderr, "\r%s\x1b[K", shown);
  std::fflush(stderr);
  g_LineShown = true;
}

bool ServeIndicator() {
  if (!g_InterruptPending) return false;
  g_InterruptPending = 0;
  return true;
}

bool ConfirmCancel() {
  EndLine();
  return AskOnTerminal(kTextCancelQuestion) != 0;
}

void TellWithoutWaiting(const char* text, const char* caption) {
  ShowMessageBox(text, caption, kMbOk);
}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
  EndLine();
  // Room for a summary with a whole error text: a character of Shift-JIS
  // takes at most three bytes in the terminal's UTF-8.
  static char shown[3 * 34 * 1024];
  SjisToTerminal(caption ? caption : "", shown, sizeof shown);
  std::fprintf(stderr, "%s: ", shown);
  SjisToTerminal(text ? text : "", shown, sizeof shown);
  const size_t len = std::strlen(shown);
  std::fprintf(stderr, "%s%s", shown, (len > 0 && shown[len - 1] == '\n') ? "" : "\n");
  std::fflush(stderr);
  if ((style & 0xF) == kMbYesNo) {
    // Only a terminal can answer; without one the safe answer is No.
    return AskOnTerminal("") == 1 ? kIdYes : kIdNo;
  }
  return kIdOk;
}

void WriteConsoleText(const char* text, bool toError) {
  FILE* stream = toError ? stderr : stdout;
  // A line at a time: a character of Shift-JIS takes at most three bytes in
  // UTF-8, and a longer line goes out in pieces cut between lines of input.
  static char line[4096];
  static char shown[3 * sizeof line];
  while (*text != '\0') {
    size_t length = 0;
    while (text[length] != '\0' && text[length] != '\n' && length + 2 < sizeof line) ++length;
    if (text[length] == '\n') ++length;
    std::memcpy(line, text, length);
    line[length] = '\0';
    SjisToTerminal(line, shown, sizeof shown);
    std::fputs(shown, stream);
    text += length;
  }
  std::fflush(stream);
}
