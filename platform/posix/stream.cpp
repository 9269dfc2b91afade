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

FILE* OpenPrivateTempStream(const char* target, char* tempPath, int size) {
  FILE* f = OpenTempStream(target, "w", tempPath, size);
  // Narrowed before a byte is written.
  if (f != nullptr && fchmod(fileno(f), 0600) != 0) {
    DiscardTempStream(f, tempPath);
    return nullptr;
  }
  return f;
}

FILE* OpenPrivateStreamForUpdate(const char* path) {
  char utf8[4096];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open(utf8, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "r+b");
  if (f == nullptr) close(fd);
  return f;
}

FILE* OpenReadOnlyStream(const char* path, bool* isLink) {
  if (isLink != nullptr) *isLink = false;
  char utf8[4096];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) {
    errno = EINVAL;
    return nullptr;
  }
  // O_NONBLOCK: a pipe at the name must not hold the open; it is refused below.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(utf8, flags);
  if (fd < 0 && errno == ENOENT && FindCaseInsensitive(utf8, sizeof utf8)) fd = open(utf8, flags);
  if (fd < 0) {
    if (errno == ELOOP && isLink != nullptr) *isLink = true;
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // Read once from start to end: a larger read-ahead, and pages that need
  // not push other programs' data out of the cache.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(fd, 0, 0, POSIX_FADV_NOREUSE);
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
}

FILE* OpenAppendStream(const char* path, bool* isLink) {
  if (isLink != nullptr) *isLink = false;
  char utf8[4096];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open(utf8, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == ELOOP && isLink != nullptr) *isLink = true;
    return nullptr;
  }
  FILE* f = fdopen(fd, "a");
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
  const FileHandle file = FromFd(fileno(stream));
  FileIdentity written;
  bool ok = std::fflush(stream) == 0 && !std::ferror(stream) && FileFlush(file) &&
            FileIdentityOf(file, &written);
  // The stream's own close is checked before the rename (a file system may
  // tell a lost write only then); a second descriptor keeps the file open
  // and locked until the rename, and only while its name still holds what
  // was written is it renamed (see FileCommit).
  const int held = fcntl(fileno(stream), F_DUPFD_CLOEXEC, 0);
  ok = std::fclose(stream) == 0 && ok && held >= 0;
  ok = ok && PathIsFile(tempPath, written) && FileReplace(tempPath, target);
  if (held >= 0) close(held);
  if (!ok) FileDelete(tempPath);
  return ok;
}

void DiscardTempStream(FILE* stream, const char* tempPath) {
  if (stream != nullptr) std::fclose(stream);
  FileDelete(tempPath);
}
