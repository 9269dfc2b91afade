#include "platform/stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>

#include "platform/fileio.h"

// The program folder's own permissions guard these files, as they guard
// the settings file that holds the same password.
FILE* OpenPrivateTempStream(const char* target, char* tempPath, int size) {
  return OpenTempStream(target, "w", tempPath, size);
}

FILE* OpenPrivateStreamForUpdate(const char* path) {
  if (PathIsLink(path)) return nullptr;
  return std::fopen(path, "r+b");
}

FILE* OpenStream(const char* path, const char* mode) {
  // The C runtime takes narrow paths in the ANSI code page (932 on Japanese Windows).
  return std::fopen(path, mode);
}

namespace {

// A stream on path opened with CreateFileA (shared as the C runtime's fopen
// shares: another program may go on reading or writing it), never through a
// reparse point; nor onto a folder when refuseFolder. Null when it cannot be
// opened; *isLink (when given) is true when a reparse point stood at path.
// hints: further FILE_FLAG_ values for CreateFileA.
FILE* OpenUnlinkedStream(const char* path, DWORD access, DWORD disposition, bool refuseFolder,
                         DWORD hints, int fdFlags, const char* mode, bool* isLink) {
  if (isLink != nullptr) *isLink = false;
  HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | hints, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION data = {};
  const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | (refuseFolder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (!GetFileInformationByHandle(h, &data) || (data.dwFileAttributes & refused) != 0) {
    if (isLink != nullptr) *isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    CloseHandle(h);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), fdFlags);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, mode);
  if (f == nullptr) _close(fd);
  return f;
}

}  // namespace

FILE* OpenReadOnlyStream(const char* path, bool* isLink) {
  // Read once from start to end: the cache reads ahead further and lets the
  // pages go sooner.
  return OpenUnlinkedStream(path, GENERIC_READ, OPEN_EXISTING, true, FILE_FLAG_SEQUENTIAL_SCAN,
                            _O_BINARY | _O_RDONLY, "rb", isLink);
}

FILE* OpenAppendStream(const char* path, bool* isLink) {
  return OpenUnlinkedStream(path, GENERIC_WRITE, OPEN_ALWAYS, false, 0, _O_APPEND | _O_TEXT, "a", isLink);
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
  const FileHandle file = reinterpret_cast<FileHandle>(_get_osfhandle(_fileno(stream)));
  FileIdentity written;
  bool ok = std::fflush(stream) == 0 && !std::ferror(stream) && FileFlush(file) &&
            FileIdentityOf(file, &written);
  // A file open without sharing cannot be renamed: closed first, and then
  // renamed only while its name still holds what was written.
  ok = std::fclose(stream) == 0 && ok;
  ok = ok && PathIsFile(tempPath, written) && FileReplace(tempPath, target);
  if (!ok) DeleteFileA(tempPath);
  return ok;
}

void DiscardTempStream(FILE* stream, const char* tempPath) {
  if (stream != nullptr) std::fclose(stream);
  DeleteFileA(tempPath);
}
