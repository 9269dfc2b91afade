#include "app/run_log.h"

#include <cstring>

#include "base/error_text.h"
#include "base/text.h"
#include "base/texts.h"
#include "platform/fileio.h"
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
  if (file_ != nullptr && std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
}

bool RunLog::Open() {
  Close();  // a second open must not leak the first handle
  char path[kPathBufferSize];
  const int n = std::snprintf(path, sizeof path, "%s%s.log", programFolder_, "Quenvale");
  if (n < 0 || n >= static_cast<int>(sizeof path)) return false;  // a cut path names another file
  // A line that a run which died left without its end is closed first, so
  // that this run's line stands on its own.
  pendingLength_ = 0;
  // A link at its name is not written through (nor read).
  if (PathIsLink(path)) {
    linked_ = true;
    return false;
  }
  if (FILE* before = OpenStream(path, "rb")) {
    if (std::fseek(before, -1, SEEK_END) == 0) {
      const int last = std::fgetc(before);
      if (last != EOF && last != '\n') pending_[pendingLength_++] = '\n';
    }
    std::fclose(before);
  }
  file_ = OpenAppendStream(path, &linked_);
  if (file_ == nullptr) return false;
  // One event, one write: the buffer holds the longest (an end entry with
  // the whole error text), and each event is flushed on its own.
  std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
  return true;
}

void RunLog::Put(const char* text) {
  const size_t len = std::strlen(text);
  if (std::fwrite(text, 1, len, file_) != len) failed_ = true;
}

int RunLog::Write(RunLogEvent event) {
  const time_t now = clock_();
  struct tm local = {};
  // Read once: the date, the time and the date code all come from this moment.
  if (const struct tm* t = std::localtime(&now)) local = *t;

  char entry[96];
  if (event == RunLogEvent::kOpen) {
    if (!Open()) {
      failed_ = true;
      return -1;
    }
    // The date goes out with the first entry, in the same write.
    pendingLength_ += std::snprintf(pending_ + pendingLength_, sizeof pending_ - pendingLength_,
                                    "%d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1,
                                    local.tm_mday);
    return DateCodeOf(local);
  }
  if (file_ == nullptr) return DateCodeOf(local);
  pending_[pendingLength_] = '\0';
  Put(pending_);
  pendingLength_ = 0;
  const bool ends = event == RunLogEvent::kAbort || event == RunLogEvent::kLockFailed ||
                    event == RunLogEvent::kEnd || event == RunLogEvent::kCancel;
  if (event == RunLogEvent::kAbort || event == RunLogEvent::kLockFailed) {
    std::snprintf(entry, sizeof entry, " %02d:%02d:%02d %s\n", local.tm_hour, local.tm_min,
                  local.tm_sec, event == RunLogEvent::kAbort ? kTextAbortEntry : kTextLockFailedEntry);
    Put(entry);
  } else {
    std::snprintf(entry, sizeof entry, " %02d:%02d:%02d-%s", local.tm_hour, local.tm_min,
                  local.tm_sec, EntryText(event));
    Put(entry);
    if (event == RunLogEvent::kEnd || event == RunLogEvent::kCancel) {
      Put("\n");
      Put(errors_->text());
    }
  }
  if (std::fflush(file_) != 0) failed_ = true;
  if (ends) Close();
  return DateCodeOf(local);
}
