#include "app/run_log.h"

#include <cstdio>
#include <cstring>

#include "app/process_state.h"
#include "platform/stream.h"

namespace {

time_t SystemClock() { return std::time(nullptr); }

// Open from the empty event until an end event or the abort closes it.
FILE* s_RunLog = nullptr;

void CloseRunLog() {
  if (s_RunLog != nullptr) std::fclose(s_RunLog);
  s_RunLog = nullptr;
}

}  // namespace

time_t (*g_RunLogClock)() = SystemClock;

int DateCodeOf(const struct tm& local) {
  return (local.tm_year + 1900) * 100000 + (local.tm_mon + 1) * 1000 + local.tm_mday * 10 +
         local.tm_wday;
}

int WriteRunLog(const char* event) {
  if (event == nullptr) event = "";
  const time_t now = g_RunLogClock();
  struct tm local = {};
  // Read once: the date, the time and the date code all come from this moment.
  if (const struct tm* t = std::localtime(&now)) local = *t;

  if (event[0] == '\0') {
    CloseRunLog();  // a second open must not leak the first handle
    char path[kPathBufferSize];
    const int n = std::snprintf(path, sizeof path, "%s%s.log", g_ProgramFolder, "Quenvale");
    if (n < 0 || n >= static_cast<int>(sizeof path)) return -1;  // a cut path names another file
    s_RunLog = OpenStream(path, "a");
    if (s_RunLog == nullptr) return -1;
    std::fprintf(s_RunLog, "%d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  } else if (s_RunLog != nullptr) {
    if (std::strcmp(event, "中止") == 0) {
      std::fprintf(s_RunLog, " %02d:%02d:%02d %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                   "AS400からの応答がないため中止");
      CloseRunLog();
    } else {
      std::fprintf(s_RunLog, " %02d:%02d:%02d-%s", local.tm_hour, local.tm_min, local.tm_sec,
                   event);
      if (std::strcmp(event, "終了") == 0 || std::strcmp(event, "ｷｬﾝｾﾙ") == 0) {
        std::fputs("\n", s_RunLog);
        std::fputs(ErrorText(), s_RunLog);
        CloseRunLog();
      }
    }
  }
  // Flushed per event so a run that dies mid-way still leaves its line.
  if (s_RunLog != nullptr) std::fflush(s_RunLog);
  return DateCodeOf(local);
}
