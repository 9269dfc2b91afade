#include "platform/profile.h"

#include <windows.h>

#include <cstdint>

#include "platform/fileio.h"

int ProfileGetString(const char* section, const char* key, const char* def, char* out, int size,
                     const char* file) {
  return static_cast<int>(
      GetPrivateProfileStringA(section, key, def, out, static_cast<DWORD>(size), file));
}

int ProfileGetSection(const char* section, char* out, int size, const char* file) {
  return static_cast<int>(GetPrivateProfileSectionA(section, out, static_cast<DWORD>(size), file));
}

int ProfileGetInt(const char* section, const char* key, int def, const char* file) {
  return static_cast<int>(GetPrivateProfileIntA(section, key, def, file));
}

int ProfileWriteString(const char* section, const char* key, const char* value, const char* file) {
  // The change is made in a copy beside the file, which replaces it only
  // when whole: a failed write must not leave half a file (and half a
  // password) behind.
  char temp[kTempPathSize];
  FileHandle copy = FileCreateTemp(file, temp, sizeof temp);
  if (copy == nullptr) return 0;
  bool ok = true;
  HANDLE in = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in != INVALID_HANDLE_VALUE) {
    char buffer[16384];
    DWORD got = 0;
    while (ok && (ok = ReadFile(in, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) {
      uint32_t written = 0;
      ok = FileWrite(copy, buffer, got, &written) && written == got;
    }
    CloseHandle(in);
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    ok = false;
  }
  FileClose(copy);
  ok = ok && WritePrivateProfileStringA(section, key, value, temp) != FALSE;
  if (ok) {
    HANDLE written = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = written != INVALID_HANDLE_VALUE && FlushFileBuffers(written) != FALSE;
    if (written != INVALID_HANDLE_VALUE) CloseHandle(written);
  }
  ok = ok && FileReplace(temp, file);
  if (!ok) DeleteFileA(temp);
  return ok ? 1 : 0;
}
