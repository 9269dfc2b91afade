#include "platform/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <strings.h>

#include <cerrno>
#include <cstring>

#include "platform/fileio.h"
#include "platform/posix/encoding.h"
#include "platform/posix/handle.h"

namespace {

// Looks for a file in the folder of utf8Path whose name equals its last
// component without regard to ASCII case; on success rewrites utf8Path.
bool FindCaseInsensitive(char* utf8Path, size_t size) {
  char* slash = std::strrchr(utf8Path, '/');
  const char* name = slash ? slash + 1 : utf8Path;
  char folder[4096];
  if (slash) {
    const size_t len = static_cast<size_t>(slash - utf8Path);
    if (len + 1 >= sizeof folder) return false;
    std::memcpy(folder, utf8Path, len);
    folder[len] = '\0';
    if (len == 0) std::strcpy(folder, "/");
  } else {
    std::strcpy(folder, ".");
  }
  DIR* dir = opendir(folder);
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* e = readdir(dir)) {
    if (strcasecmp(e->d_name, name) == 0) {
      const size_t prefix = static_cast<size_t>(name - utf8Path);
      if (prefix + std::strlen(e->d_name) + 1 <= size) {
        std::strcpy(utf8Path + prefix, e->d_name);
        found = true;
      }
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

FILE* OpenPrivateStream(const char* path) {
  char utf8[4096];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open(utf8, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  // An older file keeps its mode through O_CREAT: narrow it.
  if (fchmod(fd, 0600) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

FILE* OpenStream(const char* path, const char* mode) {
  char utf8[4096];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) {
    errno = EINVAL;
    return nullptr;
  }
  FILE* f = std::fopen(utf8, mode);
  if (f == nullptr && errno == ENOENT && mode[0] == 'r' && FindCaseInsensitive(utf8, sizeof utf8)) {
    f = std::fopen(utf8, mode);
  }
  return f;
}

FILE* OpenTempStream(const char* target, const char* mode, char* tempPath, int size) {
  FileHandle file = FileCreateTemp(target, tempPath, size);
  if (file == nullptr) return nullptr;
  FILE* f = fdopen(ToFd(file), mode);
  if (f == nullptr) {
    FileClose(file);
    FileDelete(tempPath);
  }
  return f;
}

void StreamStartWriteBack(FILE* stream, uint64_t* started) {
  const int fd = fileno(stream);
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end <= 0 || static_cast<uint64_t>(end) <= *started) return;
  FileStartWriteBack(FromFd(fd), *started, static_cast<uint64_t>(end) - *started);
  *started = static_cast<uint64_t>(end);
}

bool CommitTempStream(FILE* stream, const char* tempPath, const char* target) {
  bool ok = std::fflush(stream) == 0 && !std::ferror(stream) && FileFlush(FromFd(fileno(stream)));
  // Renamed while still open and locked (see FileCommit).
  ok = ok && FileReplace(tempPath, target);
  std::fclose(stream);
  if (!ok) FileDelete(tempPath);
  return ok;
}

void DiscardTempStream(FILE* stream, const char* tempPath) {
  if (stream != nullptr) std::fclose(stream);
  FileDelete(tempPath);
}
