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
