#include "platform/ui.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/encoding.h"

// The progress window of a terminal program: one line on standard error,
// rewritten in place, and Ctrl+C in place of the cancel button. Ctrl+C only
// marks the request; the next UpdateIndicator asks on the terminal, as the
// Windows program asks in its confirmation box, so the work is never broken
// off in the middle of a record or a chunk.

namespace {

constexpr long kRepaintIntervalMs = 50;

bool g_Open;
int g_CancelFlag;
// Set by the signal handler: Ctrl+C while the window is open (to be asked
// about), and a stop asked for by the system.
volatile sig_atomic_t g_WindowOpen;
volatile sig_atomic_t g_InterruptPending;
volatile sig_atomic_t g_StopRequested;
bool g_Listening;

char g_PendingCaption[256];
char g_PendingText[256];
char g_ShownCaption[256];
bool g_Pending;
bool g_LineShown;  // a progress line is on the terminal without its line end
long g_LastPaintMs;

void OnSignal(int signal) {
  if (signal == SIGINT && g_WindowOpen) {
    g_InterruptPending = 1;
  } else {
    g_StopRequested = 1;
  }
}

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void CopyCut(char* dst, size_t size, const char* src) {
  std::strncpy(dst, src ? src : "", size - 1);
  dst[size - 1] = '\0';
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void Paint() {
  if (!g_Open || !g_Pending) return;
  g_Pending = false;
  g_LastPaintMs = NowMs();
  std::memcpy(g_ShownCaption, g_PendingCaption, sizeof g_ShownCaption);
  if (!StderrIsTerminal()) return;
  char line[600];
  std::snprintf(line, sizeof line, "%s %s", g_PendingCaption, g_PendingText);
  char shown[1800];
  SjisToTerminal(line, shown, sizeof shown);
  // Carriage return, the line, and the rest of the old line cleared.
  std::fprintf(stderr, "\r%s\x1b[K", shown);
  std::fflush(stderr);
  g_LineShown = true;
}

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
      // Ctrl+C again while asked: taken as insisting.
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

void FlushIndicator() { Paint(); }

bool StopRequested() { return g_StopRequested != 0; }

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

void* ShowIndicator(void*, int show) {
  g_CancelFlag = 0;
  g_InterruptPending = 0;
  g_Pending = false;
  g_ShownCaption[0] = '\0';
  if (show != 0) {
    ListenForStop();
    g_Open = true;
    g_WindowOpen = 1;
    g_LastPaintMs = NowMs() - kRepaintIntervalMs;
    return &g_Open;
  }
  if (g_Open) {
    EndLine();
    g_Open = false;
    g_WindowOpen = 0;
  }
  return nullptr;
}

int UpdateIndicator(const char* caption, const char* text) {
  if (!g_Open) return g_StopRequested ? 1 : 0;
  CopyCut(g_PendingCaption, sizeof g_PendingCaption, caption);
  CopyCut(g_PendingText, sizeof g_PendingText, text);
  g_Pending = true;
  if (std::strcmp(g_ShownCaption, g_PendingCaption) != 0 ||
      NowMs() - g_LastPaintMs >= kRepaintIntervalMs) {
    Paint();
  }
  if (g_CancelFlag == 0 && g_InterruptPending) {
    g_InterruptPending = 0;
    Paint();  // the count the user is asked about
    EndLine();
    const int answer = AskOnTerminal("キャンセルしますか");
    if (answer != 0) g_CancelFlag = 1;
  }
  return g_CancelFlag != 0 || g_StopRequested ? 1 : 0;
}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
  Paint();
  EndLine();
  char line[2048];
  std::snprintf(line, sizeof line, "%s: %s", caption ? caption : "", text ? text : "");
  char shown[6144];
  SjisToTerminal(line, shown, sizeof shown);
  const size_t len = std::strlen(shown);
  std::fprintf(stderr, "%s%s", shown, (len > 0 && shown[len - 1] == '\n') ? "" : "\n");
  std::fflush(stderr);
  if ((style & 0xF) == kMbYesNo) {
    // Only a terminal can answer; without one the safe answer is No.
    return AskOnTerminal("") == 1 ? kIdYes : kIdNo;
  }
  return kIdOk;
}
