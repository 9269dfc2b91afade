#include "transfer/entry_name.h"

#include <cstring>

#include "convert/sjis.h"

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Both bytes of a double-byte character compare exactly: a trail byte in
// 0x41-0x5A or 0x61-0x7A is no letter (ア 0x83 0x41 and ヂ 0x83 0x61 differ).
bool SameIgnoringAsciiCase(const char* a, int aLength, const char* b) {
  if (static_cast<int>(std::strlen(b)) != aLength) return false;
  bool trail = false;
  for (int i = 0; i < aLength; ++i) {
    const bool single = !trail && !IsSjisLeadRange(static_cast<unsigned char>(a[i]));
    trail = !trail && !single;
    if (single ? AsciiUpper(a[i]) != AsciiUpper(b[i]) : a[i] != b[i]) return false;
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
