#include "app/code_error_file.h"

#include "base/error_text.h"
#include "base/path.h"
#include "base/texts.h"
#include "platform/stream.h"

void CodeErrorFile::Open(const char* folder, ErrorText* errors) {
  stream_ = nullptr;
  failed_ = false;
  if (!JoinPath(path_, sizeof path_, folder, "CodeErr.csv")) {
    path_[0] = '\0';
    Failed(errors);
    return;
  }
  if (!PathIsLink(path_)) {
    stream_ = OpenTempStream(path_, "w", temp_, sizeof temp_);
    if (stream_ != nullptr && std::fputs(kTextCodeErrHeader, stream_) >= 0) return;
    if (stream_ != nullptr) DiscardTempStream(stream_, temp_);
    stream_ = nullptr;
  }
  Failed(errors);
}

bool CodeErrorFile::Close(bool keep, ErrorText* errors) {
  if (stream_ == nullptr) return !failed_;
  FILE* stream = stream_;
  stream_ = nullptr;
  if (!keep) {
    DiscardTempStream(stream, temp_);
    return true;
  }
  if (CommitTempStream(stream, temp_, path_)) return true;
  Failed(errors);
  return false;
}

void CodeErrorFile::Failed(ErrorText* errors) {
  failed_ = true;
  // Another conversion's rows must not pass for this one's.
  if (path_[0] != '\0' && !PathIsLink(path_)) FileDelete(path_);
  errors->AppendLine("CodeErr", kTextCsvWriteFailed);
}
