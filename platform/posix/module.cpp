#include "platform/module.h"

#include <unistd.h>

#include "base/text.h"
#include "platform/posix/encoding.h"

int GetExecutablePath(char* buf, int size) {
  if (size <= 0) return 0;
  buf[0] = '\0';
  char utf8[4096];
  const ssize_t n = readlink("/proc/self/exe", utf8, sizeof utf8 - 1);
  if (n <= 0) return 0;
  utf8[n] = '\0';
  // The program works in Shift-JIS; a path that has no Shift-JIS form, or
  // does not fit, cannot serve as its folder.
  char sjis[4096];
  if (!Utf8ToSjis(utf8, sjis, sizeof sjis)) return 0;
  if (!CopyText(buf, size, sjis)) {
    buf[0] = '\0';
    return 0;
  }
  int len = 0;
  while (buf[len] != '\0') ++len;
  return len;
}
