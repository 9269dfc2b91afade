#include "transfer/watched_process.h"

#include <climits>

#include "base/path.h"
#include "base/sjis.h"
#include "base/text.h"
#include "platform/process.h"
#include "platform/ui.h"

namespace {

constexpr int kPassMilliseconds = 100;
// After the limit, passes go on only until what was terminated is gone.
constexpr long long kEndingSeconds = 5;

}  // namespace

bool BuildCommandLine(const char* program, const char* args, char* out, int outSize) {
  const bool ok = CopyText(out, outSize, "\"") && AppendText(out, outSize, program) &&
                  AppendText(out, outSize, "\"") &&
                  (args[0] == '\0' ||
                   (AppendText(out, outSize, " ") && AppendText(out, outSize, args)));
  if (!ok && outSize > 0) out[0] = '\0';
  return ok;
}

int TimeLimitFromText(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Saturate: a limit beyond the int range is as good as no limit.
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int RunWatchedProcess(const Settings& settings, const char* program, const char* args,
                      const char* const* arguments, int* exitCode) {
  if (exitCode != nullptr) *exitCode = -1;
  char limitText[kPathBufferSize];
  CopySetting(limitText, sizeof limitText, settings.timeLimit);
  const long long limit = TimeLimitFromText(limitText);

  char commandLine[kPathBufferSize];
  // A longer command line is not supported: start nothing rather than a cut one.
  if (!BuildCommandLine(program, args, commandLine, sizeof commandLine)) return kWatchDone;
  StartedProcess started;
  if (arguments != nullptr) {
    StartProcessWithArguments(commandLine, arguments, &started);
  } else {
    StartProcess(commandLine, &started);
  }

  // Real seconds, not the calendar: a clock set forward must not cut a
  // healthy transfer short, nor one set back let a hung client run on.
  const long long startReading = MonotonicSeconds();
  bool timedOut = false;
  // Only what this watch started counts, whatever it is called: another
  // program of the client's name (an interactive ftp.exe) is none of its
  // business. The limit bounds the whole watch.
  bool running;
  do {
    running = StartedProcessTreeRunning(&started);
    SleepMilliseconds(kPassMilliseconds);
    if (StopRequested()) {
      // The run is being stopped: the client must not outlive it.
      TerminateStartedProcess(&started);
      break;
    }
    const long long elapsed = MonotonicSeconds() - startReading;
    if (elapsed > limit) {
      if (TerminateStartedProcess(&started)) timedOut = true;
      if (elapsed > limit + kEndingSeconds) break;
    }
  } while (running);

  if (exitCode != nullptr && !timedOut) *exitCode = StartedProcessExitCode(&started);
  ReleaseStartedProcess(&started);
  return timedOut ? kWatchTimedOut : kWatchDone;
}
