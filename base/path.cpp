#include "base/path.h"

#include <cstring>

#include "base/sjis.h"

int FileNameStart(const char* path) {
  int n = static_cast<int>(std::strlen(path));
  while (n > 0 && ClassifySjisByte(path, n - 1) != static_cast<unsigned char>(kPathSep)) --n;
  return n;
}
