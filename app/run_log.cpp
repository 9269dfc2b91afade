#include "app/run_log.h"

#include "base/error_text.h"
#include "base/text.h"
#include "base/texts.h"
#include "platform/stream.h"

namespace {

time_t SystemClock() { return std::time(nullptr); }

// The text of an event that writes its name after the time.
const char* EntryText(RunLogEvent event) {
  switch (event) {
    case RunLogEvent::kStart:
      return kTextStartEvent;
    case RunLogEvent::kBackup:
      return kTextBackupEvent;
    case RunLogEvent::kConvert:
      return kTextConvertEvent;
    case RunLogEvent::kEnd:
      return kTextEndEvent;
    case RunLogEvent::kCancel:
      return kTextCancelEvent;
    default:
      return "";
  }
}

}  // namespace

int DateCodeOf(const struct tm& local) {
  return (local.tm_year + 1900) * 100000 + (local.tm_mon + 1) * 1000 + local.tm_mday * 10 +
         local.tm_wday;
}

RunLog::RunLog(const char* programFolder, const ErrorText* errors, time_t (*clock)())
    : programFolder_(programFolder), errors_(errors), clock_(clock ? clock : SystemClock) {}

RunLog::~RunLog() { Close(); }

void RunLog::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

int RunLog::Write(RunLogEvent event) {
  const time_t now = clock_();
  struct tm local = {};
  // Read once: the date, the time and the date code all come from this moment.
  if (const struct tm* t = std::localtime(&now)) local = *t;

  if (event == RunLogEvent::kOpen) {
    Close();  // a second open must not leak the first handle
    char path[kPathBufferSize];
    const int n = std::snprintf(path, sizeof path, "%s%s.log", programFolder_, "Quenvale");
    if (n < 0 || n >= static_cast<int>(sizeof path)) return -1;  // a cut path names another file
    file_ = OpenStream(path, "a");
    if (file_ == nullptr) return -1;
    std::fprintf(file_, "%d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  } else if (file_ != nullptr) {
    if (event == RunLogEvent::kAbort) {
      std::fprintf(file_, " %02d:%02d:%02d %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                   kTextAbortEntry);
      Close();
    } else {
      std::fprintf(file_, " %02d:%02d:%02d-%s", local.tm_hour, local.tm_min, local.tm_sec,
                   EntryText(event));
      if (event == RunLogEvent::kEnd || event == RunLogEvent::kCancel) {
        std::fputs("\n", file_);
        std::fputs(errors_->text(), file_);
        Close();
      }
    }
  }
  if (file_ != nullptr) std::fflush(file_);
  return DateCodeOf(local);
}
