#include "transfer/watched_process.h"

#include <climits>
#include <cstring>
#include <ctime>

#include "app/process_state.h"
#include "convert/sjis.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/ui.h"

namespace {

constexpr int kPassMilliseconds = 100;

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

struct NameSearch {
  const char* watchedName;
  bool found;
};

bool MatchesWatchedName(const char* exeName, void* context) {
  NameSearch* search = static_cast<NameSearch*>(context);
  if (SameNameIgnoringCase(exeName + FileNameStart(exeName, true), search->watchedName)) {
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

int FileNameStart(const char* path, bool separatorAtZero) {
  const int length = static_cast<int>(std::strlen(path));
  if (separatorAtZero) {
    int n = length;
    while (n > 0 && ClassifySjisByte(path, n - 1) != kPathSep) --n;
    return n;
  }
  int i = length - 1;
  while (i > 0 && ClassifySjisByte(path, i) != kPathSep) --i;
  return i > 0 ? i + 1 : 0;
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

bool SameNameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
  }
  return *a == *b;
}

int RunWatchedProcess(const char* program, const char* args) {
  const char* watchedName = program + FileNameStart(program, false);

  char limitText[kPathBufferSize];
  ProfileGetString("Quenvale", "TimeLimit", "3600", limitText, sizeof limitText, g_SettingsPath);
  const long long limit = TimeLimitFromText(limitText);

  char commandLine[kPathBufferSize];
  // A longer command line is not supported: start nothing rather than a cut one.
  if (!BuildCommandLine(program, args, commandLine, sizeof commandLine)) return 0;
  StartedProcess started;
  StartProcess(commandLine, &started);

  if (ProcessListUnavailable()) {
    // No watch: the program runs on by itself.
    ReleaseStartedProcess(&started);
    return 0;
  }
  PrepareProcessList();

  const long long startReading = static_cast<long long>(std::time(nullptr));
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
    const long long elapsed = static_cast<long long>(std::time(nullptr)) - startReading;
    if (elapsed > limit && TerminateStartedProcess(&started)) timedOut = true;
  } while (search.found);

  ReleaseStartedProcess(&started);
  return timedOut ? kWatchTimedOut : kWatchDone;
}
