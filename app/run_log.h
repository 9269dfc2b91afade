#pragma once
// The run log, Quenvale.log in the program folder: one line per batch run.
#include <cstdio>
#include <ctime>

#include "base/error_text.h"

enum class RunLogEvent {
  kOpen,     // opens the log; the date goes out with the next event
  kAbort,    // " hh:mm:ss AS400からの応答がないため中止" and a line end; closes
  kStart,    // " hh:mm:ss-開始"
  kBackup,   // " hh:mm:ss-ﾊﾞｯｸｱｯﾌﾟ"
  kConvert,  // " hh:mm:ss-CSV変換"
  kEnd,      // " hh:mm:ss-終了", a line end and the error text; closes
  kCancel,   // as kEnd, with "ｷｬﾝｾﾙ"
  kLockFailed,  // as kAbort, with "Quenvale.lockを開けないため中止"
};

class RunLog {
 public:
  // The log of the program in programFolder; the end events write errors
  // after their entry. clock is where the time comes from (a test's own).
  RunLog(const char* programFolder, const ErrorText* errors, time_t (*clock)() = nullptr);
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Writes one event and returns the date code YYYYMMDDW of the moment (W
  // the weekday, Sunday 0); -1 when kOpen cannot open the log. Events while
  // no log is open write nothing. Each event is appended in one write and
  // flushed, so a run that dies still leaves its line; a log that does not
  // end in a line end gets one before this run's line.
  int Write(RunLogEvent event);
  // True once the log could not be opened or an event not written whole.
  bool failed() const { return failed_; }
  // True when a link stood at the log's name (not written through).
  bool linked() const { return linked_; }

 private:
  bool Open();
  void Close();
  void Put(const char* text);

  const char* programFolder_;
  const ErrorText* errors_;
  time_t (*clock_)();
  FILE* file_ = nullptr;
  bool failed_ = false;
  bool linked_ = false;
  char pending_[32];  // a line end and the date, not yet written
  size_t pendingLength_ = 0;
  char buffer_[kErrorTextSize + 1024];
};

// Date code YYYYMMDDW of a local time.
int DateCodeOf(const struct tm& local);
