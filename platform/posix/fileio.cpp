#include "platform/fileio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>  // rename
#include <cstdlib>
#include <cstring>

#include "base/path.h"
#include "base/sjis.h"
#include "base/text.h"
#include "platform/posix/encoding.h"
#include "platform/posix/handle.h"

// Share modes: Windows opens these files with no sharing, so another program
// cannot touch a file while it is copied. POSIX has no mandatory share modes,
// and the programs that fill these folders take no advisory locks, so a lock
// here would protect nothing; files open elsewhere are simply opened too, as
// any POSIX copy tool does.

namespace {

constexpr size_t kUtf8PathSize = 4096;

int64_t FromTimespec(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

timespec ToTimespec(int64_t v) {
  timespec t;
  t.tv_sec = static_cast<time_t>(v / 1000000000);
  t.tv_nsec = static_cast<long>(v % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    t.tv_sec -= 1;
  }
  return t;
}

int OpenUtf8(const char* path, int flags, mode_t mode) {
  char utf8[kUtf8PathSize];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) {
    errno = EINVAL;
    return -1;
  }
  return open(utf8, flags | O_CLOEXEC, mode);
}

// Matches a Shift-JIS name against a pattern of * and ?, ASCII letters
// without regard to case, as FindFirstFileA does. ? stands for one
// character, a double-byte one whole.
bool Matches(const char* pattern, const char* name) {
  const char* starP = nullptr;
  const char* starN = nullptr;
  while (*name != '\0') {
    const unsigned char n = static_cast<unsigned char>(*name);
    const int width = (IsSjisLeadRange(n) && name[1] != '\0') ? 2 : 1;
    if (*pattern == '*') {
      starP = ++pattern;
      starN = name;
      continue;
    }
    if (*pattern == '?') {
      ++pattern;
      name += width;
      continue;
    }
    bool same = false;
    if (*pattern != '\0') {
      if (width == 2) {
        same = pattern[0] == name[0] && pattern[1] == name[1];
      } else {
        same = AsciiUpper(*pattern) == AsciiUpper(*name);
      }
    }
    if (same) {
      pattern += width;
      name += width;
      continue;
    }
    if (starP == nullptr) return false;
    // Let the last * take one more character and try again.
    const unsigned char s = static_cast<unsigned char>(*starN);
    starN += (IsSjisLeadRange(s) && starN[1] != '\0') ? 2 : 1;
    name = starN;
    pattern = starP;
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

struct Search {
  DIR* dir;
  int dirFd;
  char pattern[kFindNameSize];
};

// Next directory entry whose Shift-JIS name matches. Names that have no
// Shift-JIS form cannot be named by the program and are passed over.
bool NextMatch(Search* s, FindEntry* entry) {
  while (dirent* e = readdir(s->dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    char sjis[kFindNameSize];
    if (!Utf8ToSjis(e->d_name, sjis, sizeof sjis)) continue;
    if (!Matches(s->pattern, sjis)) continue;
    struct stat st;
    if (fstatat(s->dirFd, e->d_name, &st, 0) != 0) continue;
    CopyText(entry->name, kFindNameSize, sjis);
    entry->isDirectory = S_ISDIR(st.st_mode);
    return true;
  }
  return false;
}

// Only regular files are copied: a folder does not open as a file on Windows
// either, and a pipe or device would block the open or never end. The open
// does not wait (O_NONBLOCK), which plain files ignore.
FileHandle OpenRegular(const char* path, int flags, mode_t mode) {
  const int fd = OpenUtf8(path, flags | O_NONBLOCK, mode);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return FromFd(fd);
}

std::atomic<unsigned> s_TempCount{0};

}  // namespace

FileHandle FileCreateTemp(const char* target, char* tempPath, int size) {
  if (!TempPathFor(tempPath, size, target, static_cast<unsigned long>(getpid()),
                   s_TempCount.fetch_add(1) + 1)) {
    return nullptr;
  }
  const int fd = OpenUtf8(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  if (fd < 0) return nullptr;
  // Held while this process lives: a later run removes only unlocked files.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    FileDelete(tempPath);
    return nullptr;
  }
  return FromFd(fd);
}

bool FileFlush(FileHandle file) {
  while (fsync(ToFd(file)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void FileStartWriteBack(FileHandle file, uint64_t from, uint64_t length) {
#if defined(__linux__)
  if (length != 0) {
    sync_file_range(ToFd(file), static_cast<off_t>(from), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
  }
#else
  (void)file;
  (void)from;
  (void)length;
#endif
}

bool FileReplace(const char* tempPath, const char* target) {
  char from[kUtf8PathSize];
  char to[kUtf8PathSize];
  if (!SjisToUtf8(tempPath, from, sizeof from) || !SjisToUtf8(target, to, sizeof to)) return false;
  struct stat st;
  if (lstat(to, &st) == 0) {
    // Only a regular file is replaced: not a link (whoever planted it must
    // not learn that it works), a pipe or a device; a read-only file is
    // kept as Windows keeps it.
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0) return false;
  }
  if (rename(from, to) != 0) return false;
  // The new name reaches the disk with the folder.
  char folder[kUtf8PathSize];
  const char* slash = std::strrchr(to, '/');
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else {
    const size_t len = slash == to ? 1 : static_cast<size_t>(slash - to);
    std::memcpy(folder, to, len);
    folder[len] = '\0';
  }
  const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool FileIdentityOf(FileHandle file, FileIdentity* id) {
  struct stat st;
  if (fstat(ToFd(file), &st) != 0) return false;
  id->volume = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool PathIsFile(const char* path, const FileIdentity& id) {
  char utf8[kUtf8PathSize];
  struct stat st;
  return SjisToUtf8(path, utf8, sizeof utf8) && lstat(utf8, &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<uint64_t>(st.st_dev) == id.volume && static_cast<uint64_t>(st.st_ino) == id.index;
}

bool FileCommit(FileHandle file, const char* tempPath, const char* target) {
  // Renamed while still open and locked, so that no other run takes it for
  // a leftover in between; and only while its name still holds what was
  // written (a link renamed onto it would become the target).
  FileIdentity written;
  const bool ok = FileFlush(file) && FileIdentityOf(file, &written) &&
                  PathIsFile(tempPath, written) && FileReplace(tempPath, target);
  FileClose(file);
  if (!ok) FileDelete(tempPath);
  return ok;
}

void FileDiscard(FileHandle file, const char* tempPath) {
  FileClose(file);
  FileDelete(tempPath);
}

bool PathIsLink(const char* path) {
  char utf8[kUtf8PathSize];
  struct stat st;
  return SjisToUtf8(path, utf8, sizeof utf8) && lstat(utf8, &st) == 0 && S_ISLNK(st.st_mode);
}

LockResult LockFile(const char* path, FileHandle* held) {
  *held = nullptr;
  // Opened for reading: flock needs no more, so a lock file that another
  // account made (root, once) does not stop this one.
  const int fd = OpenUtf8(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) return LockResult::kFailed;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return LockResult::kFailed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? LockResult::kBusy : LockResult::kFailed;
  }
  *held = FromFd(fd);
  return LockResult::kHeld;
}

void RemoveLeftoverTemps(const char* folder) {
  char pattern[kTempPathSize];
  if (!JoinPath(pattern, sizeof pattern, folder, kTempFilePattern)) return;
  FindEntry entry;
  FindHandle search = FindFirst(pattern, &entry);
  if (search == nullptr) return;
  do {
    char path[kTempPathSize];
    if (entry.isDirectory || !IsTempFileName(entry.name) ||
        !JoinPath(path, sizeof path, folder, entry.name)) {
      continue;
    }
    const int fd = OpenUtf8(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) {
      if (errno == ELOOP) FileDelete(path);  // a link of that name: the link goes
      continue;
    }
    // Locked: a running process still writes it.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) FileDelete(path);
    close(fd);
  } while (FindNext(search, &entry));
  FindEnd(search);
}

FileHandle FileOpenRead(const char* path) {
  FileHandle file = OpenRegular(path, O_RDONLY, 0);
  // Read front to back in large chunks: let the system read ahead further.
  if (file != nullptr) posix_fadvise(ToFd(file), 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

FileHandle FileCreate(const char* path) {
  return OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

bool FileGetSize(FileHandle file, uint64_t* size) {
  struct stat st;
  if (fstat(ToFd(file), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool FileRead(FileHandle file, void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  // ReadFile returns only at the end of the file or with the whole count.
  char* at = static_cast<char*>(buffer);
  while (*done < size) {
    const ssize_t n = read(ToFd(file), at + *done, size - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool FileWrite(FileHandle file, const void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  const char* at = static_cast<const char*>(buffer);
  while (*done < size) {
    const ssize_t n = write(ToFd(file), at + *done, size - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool FileGetTimes(FileHandle file, FileTimes* times) {
  struct stat st;
  if (fstat(ToFd(file), &st) != 0) return false;
  // POSIX keeps no creation time (st_ctim is the last status change), so
  // only the access and modification times travel.
  times->creation = 0;
  times->lastAccess = FromTimespec(st.st_atim);
  times->lastWrite = FromTimespec(st.st_mtim);
  return true;
}

bool FileSetTimes(FileHandle file, const FileTimes* times) {
  const timespec t[2] = {ToTimespec(times->lastAccess), ToTimespec(times->lastWrite)};
  return futimens(ToFd(file), t) == 0;
}

void FileClose(FileHandle file) {
  if (file != nullptr) close(ToFd(file));
}

bool FileDelete(const char* path) {
  char utf8[kUtf8PathSize];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) return false;
  return unlink(utf8) == 0;
}

bool FileInfoOf(const char* path, FileInfo* info) {
  char utf8[kUtf8PathSize];
  struct stat st;
  if (!SjisToUtf8(path, utf8, sizeof utf8) || stat(utf8, &st) != 0) return false;
  info->isDirectory = S_ISDIR(st.st_mode);
  info->size = static_cast<uint64_t>(st.st_size);
  info->lastWrite = FromTimespec(st.st_mtim);
  info->volume = static_cast<uint64_t>(st.st_dev);
  info->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

FindHandle FindFirst(const char* pattern, FindEntry* entry) {
  // Split "folder/name pattern" at the last separator.
  const int nameAt = FileNameStart(pattern);
  const char* namePattern = pattern + nameAt;
  if (std::strlen(namePattern) >= static_cast<size_t>(kFindNameSize)) return nullptr;
  char folder[kUtf8PathSize];
  char utf8[kUtf8PathSize];
  if (nameAt == 0) {
    std::strcpy(utf8, ".");
  } else {
    const size_t len = static_cast<size_t>(nameAt - 1);
    if (len + 1 >= sizeof folder) return nullptr;
    std::memcpy(folder, pattern, len);
    folder[len] = '\0';
    if (len == 0) std::strcpy(folder, "/");
    if (!SjisToUtf8(folder, utf8, sizeof utf8)) return nullptr;
  }
  DIR* dir = opendir(utf8);
  if (dir == nullptr) return nullptr;
  Search* s = static_cast<Search*>(std::malloc(sizeof(Search)));
  if (s == nullptr) {
    closedir(dir);
    return nullptr;
  }
  s->dir = dir;
  s->dirFd = dirfd(dir);
  std::strcpy(s->pattern, namePattern);
  if (!NextMatch(s, entry)) {
    FindEnd(s);
    return nullptr;
  }
  return s;
}

bool FindNext(FindHandle search, FindEntry* entry) {
  return search != nullptr && NextMatch(static_cast<Search*>(search), entry);
}

void FindEnd(FindHandle search) {
  if (search == nullptr) return;
  Search* s = static_cast<Search*>(search);
  closedir(s->dir);
  std::free(s);
}

int CreateFolder(const char* path) {
  char utf8[kUtf8PathSize];
  if (!SjisToUtf8(path, utf8, sizeof utf8)) return EINVAL;
  if (mkdir(utf8, 0777) == 0) return 0;
  // Windows reports a name that is taken, folder or file, as 183.
  return errno == EEXIST ? kErrorAlreadyExists : errno;
}

void SystemErrorText(int code, char* out, int size) {
  if (size <= 0) return;
  out[0] = '\0';
  const char* text = code == kErrorAlreadyExists ? std::strerror(EEXIST) : std::strerror(code);
  // The locale's messages are UTF-8 (or ASCII); a text without a Shift-JIS
  // form is left out.
  char sjis[1024];
  if (text != nullptr && Utf8ToSjis(text, sjis, sizeof sjis)) CopyText(out, size, sjis);
}

void* AllocChunk(size_t size) { return std::calloc(1, size); }

void FreeChunk(void* chunk) { std::free(chunk); }

uint32_t GetTicks() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}
