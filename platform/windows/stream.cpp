#include "platform/stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>

#include "platform/fileio.h"

FILE* OpenPrivateStream(const char* path) {
  // The program folder's own permissions guard it, as they guard the
  // settings file that holds the same password.
  return std::fopen(path, "w");
}

FILE* OpenStream(const char* path, const char* mode) {
  // The C runtime takes narrow paths in the ANSI code page (932 on Japanese Windows).
  return std::fopen(path, mode);
}

FILE* OpenTempStream(const char* target, const char* mode, char* tempPath, int size) {
  FileHandle file = FileCreateTemp(target, tempPath, size);
  if (file == nullptr) return nullptr;
  const int flags = std::strchr(mode, 'b') != nullptr ? _O_BINARY : _O_TEXT;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
  if (fd < 0) {
    FileDiscard(file, tempPath);
    return nullptr;
  }
  FILE* f = _fdopen(fd, mode);
  if (f == nullptr) {
    _close(fd);
    DeleteFileA(tempPath);
  }
  return f;
}

void StreamStartWriteBack(FILE*, uint64_t*) {}

bool CommitTempStream(FILE* stream, const char* tempPath, const char* target) {
  bool ok = std::fflush(stream) == 0 && !std::ferror(stream);
  ok = ok && FileFlush(reinterpret_cast<FileHandle>(_get_osfhandle(_fileno(stream))));
  // A file open without sharing cannot be renamed: closed first.
  ok = std::fclose(stream) == 0 && ok;
  ok = ok && FileReplace(tempPath, target);
  if (!ok) DeleteFileA(tempPath);
  return ok;
}

void DiscardTempStream(FILE* stream, const char* tempPath) {
  if (stream != nullptr) std::fclose(stream);
  DeleteFileA(tempPath);
}
