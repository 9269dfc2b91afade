#pragma once
// CodeErr.csv, the report of the codes that did not convert: written beside
// its place with its header row while the conversions run, and put in place
// whole at their end. Single-file mode writes it in the program folder, a
// batch run in the transfer folder with every converted file's rows.
#include <cstdio>

#include "base/text.h"
#include "platform/fileio.h"

class ErrorText;

class CodeErrorFile {
 public:
  // Starts the report in folder (given with its trailing separator, or
  // without). A report that cannot be started (no room, a link at its
  // name) is told in errors, and the previous one, which holds another
  // conversion's rows, is removed (a link stays). stream() is then null and
  // the conversions go on without it.
  void Open(const char* folder, ErrorText* errors);
  FILE* stream() const { return stream_; }
  // Ends the report: with keep, it replaces the previous one when whole;
  // when it cannot, the failure is told and the previous one removed.
  // Without keep (a cancel) the previous one stays. False when the report
  // was asked for and is not in place.
  bool Close(bool keep, ErrorText* errors);

 private:
  void Failed(ErrorText* errors);

  char path_[kPathBufferSize] = {};
  char temp_[kTempPathSize] = {};
  FILE* stream_ = nullptr;
  bool failed_ = false;
};
