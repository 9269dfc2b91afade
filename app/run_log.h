#pragma once
// The run log, Quenvale.log in the program folder: one line per batch run.
#include <cstdio>
#include <ctime>

class ErrorText;

enum class RunLogEvent {
  kOpen,     // opens the log and writes the date
  kAbort,    // " hh:mm:ss AS400からの応答がないため中止" and a line end; closes
  kStart,    // " hh:mm:ss-開始"
  kBackup,   // " hh:mm:ss-ﾊﾞｯｸｱｯﾌﾟ"
  kConvert,  // " hh:mm:ss-CSV変換"
  kEnd,      // " hh:mm:ss-終了", a line end and the error text; closes
  kCancel,   // as kEnd, with "ｷｬﾝｾﾙ"
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
  // no log is open write nothing. Each event is flushed, so a run that dies
  // still leaves its line.
  int Write(RunLogEvent event);

 private:
  void Close();

  const char* programFolder_;
  const ErrorText* errors_;
  time_t (*clock_)();
  FILE* file_ = nullptr;
};

// Date code YYYYMMDDW of a local time.
int DateCodeOf(const struct tm& local);
