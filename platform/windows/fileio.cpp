#include "platform/fileio.h"

#include <windows.h>


#include "base/path.h"
#include "base/text.h"

namespace {

HANDLE ToHandle(FileHandle file) { return static_cast<HANDLE>(file); }

int64_t FromFiletime(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

FILETIME ToFiletime(int64_t v) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
  t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return t;
}

void FillEntry(const WIN32_FIND_DATAA& data, FindEntry* entry) {
  CopyText(entry->name, kFindNameSize, data.cFileName);
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

LONG s_TempCount = 0;

}  // namespace

FileHandle FileCreateTemp(const char* target, char* tempPath, int size) {
  if (!TempPathFor(tempPath, size, target, GetCurrentProcessId(),
                   static_cast<unsigned long>(InterlockedIncrement(&s_TempCount)))) {
    return nullptr;
  }
  // No sharing: a later run cannot delete it while this one writes.
  HANDLE h = CreateFileA(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool FileFlush(FileHandle file) { return FlushFileBuffers(ToHandle(file)) != FALSE; }

void FileStartWriteBack(FileHandle, uint64_t, uint64_t) {}

bool FileReplace(const char* tempPath, const char* target) {
  // A link or a read-only file is not replaced (as MoveFileExA refuses a
  // read-only target; asked here too, for systems that do not).
  const DWORD attributes = GetFileAttributesA(target);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  return MoveFileExA(tempPath, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool FileIdentityOf(FileHandle file, FileIdentity* id) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(ToHandle(file), &data)) return false;
  id->volume = data.dwVolumeSerialNumber;
  id->index = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  return true;
}

bool PathIsFile(const char* path, const FileIdentity& id) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION data;
  const bool ok = GetFileInformationByHandle(h, &data) != FALSE;
  CloseHandle(h);
  return ok &&
         (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
         data.dwVolumeSerialNumber == id.volume &&
         ((static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow) == id.index;
}

bool FileCommit(FileHandle file, const char* tempPath, const char* target) {
  // A file open without sharing cannot be renamed: closed first, and then
  // renamed only while its name still holds what was written.
  FileIdentity written;
  bool ok = FileFlush(file) && FileIdentityOf(file, &written);
  FileClose(file);
  ok = ok && PathIsFile(tempPath, written) && FileReplace(tempPath, target);
  if (!ok) DeleteFileA(tempPath);
  return ok;
}

void FileDiscard(FileHandle file, const char* tempPath) {
  FileClose(file);
  DeleteFileA(tempPath);
}

bool PathIsLink(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

LockResult LockFile(const char* path, FileHandle* held) {
  *held = nullptr;
  if (PathIsLink(path)) return LockResult::kFailed;
  // Read access is enough for a handle without sharing: a read-only lock
  // file, or one another account made, does not stop this one.
  HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_SHARING_VIOLATION ? LockResult::kBusy : LockResult::kFailed;
  }
  *held = h;
  return LockResult::kHeld;
}

void RemoveLeftoverTemps(const char* folder) {
  char pattern[kTempPathSize];
  if (!JoinPath(pattern, sizeof pattern, folder, kTempFilePattern)) return;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    char path[kTempPathSize];
    // The long name is checked: the pattern also meets short names.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsTempFileName(data.cFileName) ||
        !JoinPath(path, sizeof path, folder, data.cFileName)) {
      continue;
    }
    // One that a running process writes is open without sharing: it stays.
    DeleteFileA(path);
  } while (FindNextFileA(search, &data));
  FindClose(search);
}

FileHandle FileOpenRead(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

FileHandle FileCreate(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool FileGetSize(FileHandle file, uint64_t* size) {
  DWORD high = 0;
  SetLastError(NO_ERROR);  // a size of 0xFFFFFFFF is told from a failure only by this
  const DWORD low = GetFileSize(ToHandle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  *size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

bool FileRead(FileHandle file, void* buffer, uint32_t size, uint32_t* done) {
  DWORD n = 0;
  const BOOL ok = ReadFile(ToHandle(file), buffer, size, &n, nullptr);
  *done = n;
  return ok != FALSE;
}

bool FileWrite(FileHandle file, const void* buffer, uint32_t size, uint32_t* done) {
  DWORD n = 0;
  const BOOL ok = WriteFile(ToHandle(file), buffer, size, &n, nullptr);
  *done = n;
  return ok != FALSE;
}

bool FileGetTimes(FileHandle file, FileTimes* times) {
  FILETIME c, a, w;
  if (!GetFileTime(ToHandle(file), &c, &a, &w)) return false;
  times->creation = FromFiletime(c);
  times->lastAccess = FromFiletime(a);
  times->lastWrite = FromFiletime(w);
  return true;
}

bool FileSetTimes(FileHandle file, const FileTimes* times) {
  const FILETIME c = ToFiletime(times->creation);
  const FILETIME a = ToFiletime(times->lastAccess);
  const FILETIME w = ToFiletime(times->lastWrite);
  return SetFileTime(ToHandle(file), &c, &a, &w) != FALSE;
}

void FileClose(FileHandle file) {
  if (file != nullptr) CloseHandle(ToHandle(file));
}

bool FileDelete(const char* path) { return DeleteFileA(path) != FALSE; }

bool FileInfoOf(const char* path, FileInfo* info) {
  // No access asked: opens whatever share mode another handle holds.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION data;
  const bool ok = GetFileInformationByHandle(h, &data) != FALSE;
  CloseHandle(h);
  if (!ok) return false;
  info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info->lastWrite = FromFiletime(data.ftLastWriteTime);
  info->volume = data.dwVolumeSerialNumber;
  info->index = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  return true;
}

FindHandle FindFirst(const char* pattern, FindEntry* entry) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern, &data);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  FillEntry(data, entry);
  return h;
}

bool FindNext(FindHandle search, FindEntry* entry) {
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(static_cast<HANDLE>(search), &data)) return false;
  FillEntry(data, entry);
  return true;
}

void FindEnd(FindHandle search) {
  if (search != nullptr) FindClose(static_cast<HANDLE>(search));
}

int CreateFolder(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return 0;
  return static_cast<int>(GetLastError());
}

void SystemErrorText(int code, char* out, int size) {
  if (size <= 0) return;
  out[0] = '\0';
  // One line, no inserts.
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, static_cast<DWORD>(code), 0, out,
                                 static_cast<DWORD>(size), nullptr);
  if (n == 0) out[0] = '\0';  // no text for the code, or it did not fit
}

void* AllocChunk(size_t size) { return GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size); }

void FreeChunk(void* chunk) {
  if (chunk != nullptr) GlobalFree(chunk);
}

uint32_t GetTicks() { return GetTickCount(); }
