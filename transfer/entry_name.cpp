#include "transfer/entry_name.h"

#include <cstring>

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringAsciiCase(const char* a, int aLength, const char* b) {
  if (static_cast<int>(std::strlen(b)) != aLength) return false;
  for (int i = 0; i < aLength; ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace

bool MakeEntryName(const char* file, int fileLength, const char* member, char* out, int outSize) {
  if (outSize <= 0) return false;
  out[0] = '\0';
  const int memberLength = static_cast<int>(std::strlen(member));
  const bool same = SameIgnoringAsciiCase(file, fileLength, member);
  const int needed = same ? memberLength : fileLength + 1 + memberLength;
  if (fileLength < 0 || needed > outSize - 1) return false;
  char* o = out;
  if (!same) {
    std::memcpy(o, file, static_cast<size_t>(fileLength));
    o += fileLength;
    *o++ = '_';
  }
  std::memcpy(o, member, static_cast<size_t>(memberLength));
  o[memberLength] = '\0';
  return true;
}
