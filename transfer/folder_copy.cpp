#include "transfer/folder_copy.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/error_text.h"
#include "base/path.h"
#include "base/sjis.h"
#include "base/progress.h"
#include "base/text.h"
#include "base/texts.h"
#include "platform/fileio.h"

namespace {

constexpr int kCaptionSize = 32;
constexpr int kStatusSize = 108;
constexpr int kShownNameBytes = 81;  // leaves room for the 26-byte suffix
constexpr int kSuffixSize = 48;  // the suffix itself takes at most 26

// Percentage done before reading chunk index of a file of size bytes; 100
// once every chunk has been read. Uses the whole 64-bit size, so files of
// 4 GiB and more also rise from 0 to 100.
int PercentDone(uint64_t chunkIndex, uint64_t size) {
  if (size == 0) return 0;
  if (chunkIndex > size / kCopyChunkSize) return 100;
  const uint64_t done = chunkIndex * kCopyChunkSize;  // never more than size here
  if (size <= UINT64_MAX / 100) return static_cast<int>(done * 100 / size);
  return static_cast<int>(done / (size / 100));
}

// The chunk loop of one file; returns 0, -1, 2 or 3. copiedBytes counts
// what was written.
int CopyChunks(FileHandle src, FileHandle dst, void* chunk, uint64_t size, const char* name,
               const char* caption, Progress* progress, uint64_t* copiedBytes) {
  char status[kStatusSize];
  CopyText(status, kShownNameBytes + 1, name);  // a long name is cut whole characters
  const size_t nameLen = std::strlen(status);

  const uint32_t start = GetTicks() % 1000000;
  uint64_t chunkIndex = 0;
  int result = kCopyOk;
  uint32_t got = 0;
  do {
    uint32_t now = GetTicks() % 1000000;
    if (now < start) now += 1000000;
    const int percent = PercentDone(chunkIndex, size);
    // Seconds within the current 1,000: the display starts again from 0.
    const int elapsed = static_cast<int>((now - start) / 1000);
    char suffix[kSuffixSize];
    std::snprintf(suffix, sizeof suffix, kTextCopyProgressFormat, percent, elapsed);
    status[nameLen] = '\0';
    AppendText(status, kStatusSize, suffix);
    ++chunkIndex;
    if (progress->Update(caption, status) != 0) {
      result = kCopyCancelled;
      break;
    }
    if (!FileRead(src, chunk, kCopyChunkSize, &got)) {
      result = kCopyReadFailed;
      break;
    }
    uint32_t written = 0;
    if (!FileWrite(dst, chunk, got, &written) || written < got) result = kCopyWriteFailed;
    // The disk starts on each chunk at once, so the flush before the copy
    // takes its place finds little left.
    FileStartWriteBack(dst, *copiedBytes, written);
    *copiedBytes += written;
  } while (got > 0 && result == kCopyOk);
  return result;
}

}  // namespace

int CopyFileWithProgress(const char* source, const char* target, const char* caption,
                         Progress* progress, bool sourceLinkAllowed) {
  // Paths past the program's 255-byte limit are not addressed at all.
  if (strnlen(source, kPathBufferSize) >= static_cast<size_t>(kPathBufferSize) ||
      strnlen(target, kPathBufferSize) >= static_cast<size_t>(kPathBufferSize)) {
    return kCopyOpenFailed;
  }
  // A link planted at the target would take the data wherever it points; one
  // in the run's own folders would hand another file's bytes to a backup.
  if (PathIsLink(target) || (!sourceLinkAllowed && PathIsLink(source))) return kCopyOpenFailed;
  // A copy onto itself would replace the file it reads; a folder at the
  // target's name is never replaced.
  FileInfo from;
  FileInfo to;
  const bool targetThere = FileInfoOf(target, &to);
  if (targetThere && (to.isDirectory || (FileInfoOf(source, &from) && from.volume == to.volume &&
                                         from.index == to.index))) {
    return kCopyOpenFailed;
  }
  void* chunk = AllocChunk(kCopyChunkSize);
  if (chunk == nullptr) return kCopyNoMemory;

  int result = kCopyOk;
  FileHandle src = FileOpenRead(source);
  if (src == nullptr) {
    result = kCopyOpenFailed;
  } else {
    uint64_t size = 0;
    const bool sized = FileGetSize(src, &size);
    if (!sized) size = 0;
    // The copy goes to a new file beside the target and replaces it only
    // when whole: a failure, a cancel or a kill leaves the previous file.
    char temp[kTempPathSize];
    FileHandle dst = FileCreateTemp(target, temp, sizeof temp);
    if (dst == nullptr) {
      result = kCopyOpenFailed;
    } else {
      uint64_t copied = 0;
      result = CopyChunks(src, dst, chunk, size, source + FileNameStart(source), caption, progress,
                          &copied);
      // A source that changed size while it was read gave no true copy.
      if (result == kCopyOk && (!sized || copied != size)) result = kCopyReadFailed;
      if (result == kCopyOk) {
        FileTimes times;
        if (!FileGetTimes(src, &times) || !FileSetTimes(dst, &times)) result = kCopyTimesFailed;
      }
      if (result == kCopyOk) {
        if (!FileCommit(dst, temp, target)) result = kCopyWriteFailed;
      } else {
        FileDiscard(dst, temp);
      }
    }
    FileClose(src);
  }
  FreeChunk(chunk);
  return result;
}

int CopyDb2Files(const char* source, const char* target, Progress* progress, ErrorText* errors,
                 CopiedFiles* copied, bool sourceLinksAllowed, const CopyFilter* leave) {
  // What a run that died left here goes before anything new is written.
  RemoveLeftoverTemps(target);
  char caption[kCaptionSize];
  caption[0] = '\0';
  // A monthly folder ends in the double-byte character 月.
  const int len = static_cast<int>(std::strlen(target));
  if (len >= 2 && std::memcmp(target + len - 2, kTextMonth, 2) == 0 &&
      ClassifySjisByte(target, len - 2) == 1) {
    AppendText(caption, sizeof caption, kTextMonthly);
  }
  AppendText(caption, sizeof caption, kTextBackingUp);

  const char sep[2] = {kPathSep, '\0'};
  char path[kPathBufferSize];
  CopyText(path, sizeof path, source);
  AppendText(path, sizeof path, sep);
  if (!AppendText(path, sizeof path, "*.DB2")) return 0;  // cannot be searched

  int result = 0;
  FindEntry entry;
  FindHandle search = FindFirst(path, &entry);
  if (search == nullptr) return 0;
  do {
    if (entry.isDirectory) continue;
    if (leave != nullptr && leave->Leaves(entry.name)) {
      if (copied != nullptr) copied->NotCopied(entry.name, kCopyOk);
      continue;
    }
    char from[kPathBufferSize];
    char to[kPathBufferSize];
    CopyText(from, sizeof from, source);
    AppendText(from, sizeof from, sep);
    const bool fromFits = AppendText(from, sizeof from, entry.name);
    CopyText(to, sizeof to, target);
    AppendText(to, sizeof to, sep);
    const bool toFits = AppendText(to, sizeof to, entry.name);
    // A path cut to the buffer would name another file: that file fails.
    result = (fromFits && toFits) ? CopyFileWithProgress(from, to, caption, progress, sourceLinksAllowed)
                               : kCopyOpenFailed;
    if (result < 0) break;
    if (result == kCopyOk) {
      if (copied != nullptr) copied->Copied(entry.name);
    } else {
      if (copied != nullptr) copied->NotCopied(entry.name, result);
      // A missing backup or image must not pass unnoticed in the run log.
      char message[64];
      std::snprintf(message, sizeof message, kTextCopyFailedFormat, result);
      errors->AppendLine(entry.name, message);
    }
  } while (FindNext(search, &entry));
  FindEnd(search);
  return result;
}
