#include "base/path.h"

#include <cstdio>
#include <cstring>

#include "base/sjis.h"

int FileNameStart(const char* path) {
  int n = static_cast<int>(std::strlen(path));
  while (n > 0 && ClassifySjisByte(path, n - 1) != static_cast<unsigned char>(kPathSep)) --n;
  return n;
}

bool JoinPath(char* out, int size, const char* folder, const char* name) {
  const int folderLen = static_cast<int>(std::strlen(folder));
  // An empty folder or one that ends in a separator takes none.
  const char sep[2] = {folderLen > 0 && FileNameStart(folder) != folderLen ? kPathSep : '\0', '\0'};
  const int n = std::snprintf(out, static_cast<size_t>(size), "%s%s%s", folder, sep, name);
  return size > 0 && n >= 0 && n < size;
}

bool TransferImagePath(char* out, int size, const char* programFolder, const char* name,
                       const char* suffix) {
  const int n = std::snprintf(out, static_cast<size_t>(size), "%sDB2%c%s.DB2%s", programFolder, kPathSep,
                              name, suffix);
  return size > 0 && n >= 0 && n < size;
}

bool TempPathFor(char* out, int size, const char* target, unsigned long processId, unsigned long n) {
  if (size <= 0) return false;
  const int written = std::snprintf(out, static_cast<size_t>(size), "%.*s~qv%lu-%lu.tmp",
                                    FileNameStart(target), target, processId, n);
  if (written < 0 || written >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool IsTempFileName(const char* name) {
  const size_t len = std::strlen(name);
  if (len < 8 || name[0] != '~' || AsciiUpper(name[1]) != 'Q' || AsciiUpper(name[2]) != 'V') {
    return false;
  }
  const char* ext = name + len - 4;
  return ext[0] == '.' && AsciiUpper(ext[1]) == 'T' && AsciiUpper(ext[2]) == 'M' &&
         AsciiUpper(ext[3]) == 'P';
}
