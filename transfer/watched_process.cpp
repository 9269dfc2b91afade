#include "transfer/watched_process.h"

#include <climits>

#include "base/path.h"
#include "base/sjis.h"
#include "base/text.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/ui.h"

namespace {

constexpr int kPassMilliseconds = 100;

struct NameSearch {
  const char* watchedName;
  bool found;
};

bool MatchesWatchedName(const char* exeName, void* context) {
  NameSearch* search = static_cast<NameSearch*>(context);
  // A process list entry may be a bare name or a full path.
  if (SameName(exeName + FileNameStart(exeName), search->watchedName)) {
    search->found = true;
    return true;
  }
  return false;
}

}  // namespace

bool BuildCommandLine(const char* program, const char* args, char* out, int outSize) {
  const bool ok = CopyText(out, outSize, "\"") && AppendText(out, outSize, program) &&
                  AppendText(out, outSize, "\"") &&
                  (args[0] == '\0' ||
                   (AppendText(out, outSize, " ") && AppendText(out, outSize, args)));
  if (!ok && outSize > 0) out[0] = '\0';
  return ok;
}

const char* WatchedName(const char* program) {
  const int start = FileNameStart(program);
  return start > 1 ? program + start : program;
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

int RunWatchedProcess(const char* settingsPath, const char* program, const char* args,
                      const char* const* arguments, int* exitCode) {
  if (exitCode != nullptr) *exitCode = -1;
  const char* watchedName = WatchedName(program);

  char limitText[kPathBufferSize];
  ProfileGetString("Quenvale", "TimeLimit", "3600", limitText, sizeof limitText, settingsPath);
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
  NameSearch search{watchedName, false};
  bool timedOut = false;
  do {
    // A client started through a wrapper may run under another name: the
    // one started is watched while it runs, whatever it is called.
    search.found = StartedProcessRunning(&started);
    if (!search.found) ForEachProcessName(MatchesWatchedName, &search);
    SleepMilliseconds(kPassMilliseconds);
    if (StopRequested()) {
      // The run is being stopped: the client must not outlive it.
      TerminateStartedProcess(&started);
      break;
    }
    const long long elapsed = MonotonicSeconds() - startReading;
    if (elapsed > limit && TerminateStartedProcess(&started)) timedOut = true;
  } while (search.found);

  if (exitCode != nullptr && !timedOut) *exitCode = StartedProcessExitCode(&started);
  ReleaseStartedProcess(&started);
  return timedOut ? kWatchTimedOut : kWatchDone;
}
