#pragma once
// Raw files, directory search, folders, file times, ticks.
//
// Windows makes the Win32 calls named beside each operation. Paths are
// Shift-JIS; the POSIX layer hands them to the file system in UTF-8.
#include <cstddef>
#include <cstdint>

// An open file; null when an open failed.
using FileHandle = void*;
// A running directory search; null when it found nothing.
using FindHandle = void*;

// The error code of a folder that already exists (ERROR_ALREADY_EXISTS).
constexpr int kErrorAlreadyExists = 183;

// Name buffer of a search entry (MAX_PATH).
constexpr int kFindNameSize = 260;

// The three times of a file, in the system's own units (Windows: FILETIME,
// 100 ns since 1601; POSIX: ns since 1970). The core only carries them from
// one file to another.
struct FileTimes {
  int64_t creation;  // POSIX keeps none: always 0 there, and ignored when set
  int64_t lastAccess;
  int64_t lastWrite;
};

// What the system tells of a file or folder by its path, without opening it
// for reading or writing (so another program's share mode does not hinder
// it). volume and index together identify the file: two paths with the same
// pair name one file, whatever their spelling, links included.
struct FileInfo {
  bool isDirectory;
  uint64_t size;
  int64_t lastWrite;  // in the units of FileTimes
  uint64_t volume;
  uint64_t index;
};

struct FindEntry {
  char name[kFindNameSize];  // Shift-JIS file name without folder
  bool isDirectory;
};

// CreateFileA(GENERIC_READ, no sharing, OPEN_EXISTING). Folders do not open.
FileHandle FileOpenRead(const char* path);
// CreateFileA(GENERIC_WRITE, no sharing, CREATE_ALWAYS): an existing file is
// replaced.
FileHandle FileCreate(const char* path);
// GetFileSize with its high part: the whole 64-bit size.
bool FileGetSize(FileHandle file, uint64_t* size);
// ReadFile / WriteFile of at most size bytes; done receives the count moved.
bool FileRead(FileHandle file, void* buffer, uint32_t size, uint32_t* done);
bool FileWrite(FileHandle file, const void* buffer, uint32_t size, uint32_t* done);
// GetFileTime / SetFileTime.
bool FileGetTimes(FileHandle file, FileTimes* times);
bool FileSetTimes(FileHandle file, const FileTimes* times);
// Files that replace others only when whole: the new content goes to a
// temporary file beside the target, named "~qv<process id>-<n>.tmp", which
// is flushed to the disk and then renamed over the target. A run that dies
// leaves at most such a file, never a cut target.
constexpr char kTempFilePattern[] = "~qv*.tmp";
// Room for a temporary file's path: the target's folder and the name.
constexpr int kTempPathSize = 300;
// Creates a new temporary file in the folder of target and opens it for
// writing (CreateFileA(CREATE_NEW), no sharing, no reparse point followed;
// POSIX: O_CREAT | O_EXCL | O_NOFOLLOW, 0666 less the umask, and a lock
// that tells a running writer from a leftover). Its path goes to tempPath
// (kTempPathSize bytes). Null when it cannot be made.
FileHandle FileCreateTemp(const char* target, char* tempPath, int size);
// FlushFileBuffers / fsync: what was written is on the disk.
bool FileFlush(FileHandle file);
// Starts writing [from, from + length) of the file to the disk without
// waiting for it, so that the flush before the file takes its place finds
// little left (Linux: sync_file_range(SYNC_FILE_RANGE_WRITE)). Windows has
// no call that starts the write-back of a range without waiting for it;
// its cache manager's lazy writer already writes dirty pages behind, so
// nothing is done there. Failures are ignored: FileFlush still decides.
void FileStartWriteBack(FileHandle file, uint64_t from, uint64_t length);
// Renames the closed temporary file over target (MoveFileExA with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; POSIX: rename, then
// the folder flushed). A target that is a link or read-only is not
// replaced: false, and both files stay as they were.
bool FileReplace(const char* tempPath, const char* target);
// Flushes the temporary file to the disk, closes it and renames it over
// target; false on any failure, and the temporary file is then removed and
// target stays as it was. Nothing is renamed unless tempPath still names
// the file that was written (FileIdentityOf, PathIsFile): a link or another
// file put in its place meanwhile never becomes the target.
bool FileCommit(FileHandle file, const char* tempPath, const char* target);
// What identifies an open file (GetFileInformationByHandle's volume serial
// and file index; POSIX: fstat's st_dev and st_ino).
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};
bool FileIdentityOf(FileHandle file, FileIdentity* id);
// True when path itself, not followed (FILE_FLAG_OPEN_REPARSE_POINT; lstat),
// is a regular file with that identity.
bool PathIsFile(const char* path, const FileIdentity& id);
// Closes the temporary file (a null handle is ignored) and removes it.
void FileDiscard(FileHandle file, const char* tempPath);
// True when path itself is a symbolic link or another reparse point.
bool PathIsLink(const char* path);
// Deletes the temporary files that runs which died left in folder. One that
// a running process is writing stays.
void RemoveLeftoverTemps(const char* folder);

// One process at a time: the file at path (made when missing, never
// through a link; opened for reading only, so that one another account
// made still serves) is held open until FileClose or the process's end, and
// the system lets it go however the process ends. Windows: CreateFileA
// with no sharing; POSIX: flock(LOCK_EX | LOCK_NB).
enum class LockResult { kHeld, kBusy, kFailed };
LockResult LockFile(const char* path, FileHandle* held);

// CloseHandle; a null handle is ignored.
void FileClose(FileHandle file);
// DeleteFileA.
bool FileDelete(const char* path);
// GetFileInformationByHandle of a handle opened for no access (folders too).
// False when nothing is there or the system cannot tell.
bool FileInfoOf(const char* path, FileInfo* info);

// FindFirstFileA / FindNextFileA / FindClose. pattern is a folder, the
// separator and a name pattern with * and ? (such as "*.DB2"), matched
// without regard to ASCII case as Windows does.
FindHandle FindFirst(const char* pattern, FindEntry* entry);
bool FindNext(FindHandle search, FindEntry* entry);
void FindEnd(FindHandle search);

// CreateDirectoryA of one level: 0 when created, otherwise the system's error
// code (kErrorAlreadyExists when the name is taken).
int CreateFolder(const char* path);
// FormatMessageA (from the system, inserts ignored, no line breaks) of an
// error code, in Shift-JIS, cut to size - 1 bytes; empty when the system has
// no text for it.
void SystemErrorText(int code, char* out, int size);

// GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT) / GlobalFree.
void* AllocChunk(size_t size);
void FreeChunk(void* chunk);

// GetTickCount: milliseconds, wrapping at 2^32.
uint32_t GetTicks();
