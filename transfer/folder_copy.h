#pragma once
// Copying .DB2 files between folders in 500,000-byte chunks with progress.

class ErrorText;
class Progress;

// Copy result codes of one file.
constexpr int kCopyOk = 0;
constexpr int kCopyCancelled = -1;
constexpr int kCopyOpenFailed = 1;
constexpr int kCopyReadFailed = 2;
constexpr int kCopyWriteFailed = 3;
constexpr int kCopyTimesFailed = 4;
constexpr int kCopyNoMemory = 9;

// Bytes moved per read and write, with one progress display before each.
constexpr unsigned kCopyChunkSize = 500000;

// Hears of each file that was copied whole, and of each that was not: its
// copy failed (code 1 to 9) or the filter left it (code 0).
class CopiedFiles {
 public:
  virtual void Copied(const char* fileName) = 0;
  virtual void NotCopied(const char* /*fileName*/, int /*code*/) {}

 protected:
  ~CopiedFiles() = default;
};

// Tells which files a folder copy leaves where they are.
class CopyFilter {
 public:
  virtual bool Leaves(const char* fileName) const = 0;

 protected:
  ~CopyFilter() = default;
};

// Copies every *.DB2 file of source into target (folders given without a
// trailing separator), showing each chunk's progress; a progress that says
// stop cancels. -1 when cancelled, else the last file's result (0 when there
// was none). Each file that fails (codes 1 to 9) gets the error line
// "<file name>のコピーに失敗(CopyDb2Files <code>)" in errors; a cancel writes
// none. copied, when given, hears of every file copied whole and of every
// file that was not (NotCopied). Temporary
// files that an earlier run left in target are removed first. A source
// file that is a link fails (code 1) unless sourceLinksAllowed (the host
// folder of folder mode, which the user names). Files that leave, when
// given, says to leave are not copied and not reported.
int CopyDb2Files(const char* source, const char* target, Progress* progress, ErrorText* errors,
                 CopiedFiles* copied = nullptr, bool sourceLinksAllowed = false,
                 const CopyFilter* leave = nullptr);
// Copies one file; returns a copy result code. The copy is written to a
// temporary file beside target and renamed over it only when whole (the
// source's size as opened, its times set, flushed to the disk): a failed or
// cancelled copy leaves the previous target as it was, or nothing. Paths
// over 255 bytes, a target that is a link, and a source that is one unless
// sourceLinkAllowed, are refused with code 1. When source and target are one
// file (the same folder under another spelling, or a link), nothing is
// copied: code 1. A source whose size changed while it was read gives code 2.
int CopyFileWithProgress(const char* source, const char* target, const char* caption,
                         Progress* progress, bool sourceLinkAllowed = false);
