#include "platform/module.h"

#include <windows.h>

int GetExecutablePath(char* buf, int size) {
  if (size <= 0) return 0;
  const DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(size));
  // A path cut to the buffer is of no use as the program's folder.
  if (n == 0 || n >= static_cast<DWORD>(size)) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<int>(n);
}
