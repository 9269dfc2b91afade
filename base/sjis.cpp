#include "base/sjis.h"

#include <cstring>

int ClassifySjisByte(const char* text, int index) {
  if (index < 0) return 0;
  int state = 0;
  int i = 0;
  for (; i <= index; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0) break;
    if (state == 1) {
      state = 2;
    } else if (state == 2) {
      state = 0;
    }
    if (state == 0 && IsSjisLeadRange(c)) state = 1;
  }
  if (state == 1 || state == 2) return state;
  // Reached the terminator before the index: there is no byte to report.
  if (i <= index) return 0;
  return static_cast<unsigned char>(text[index]);
}

bool SameName(const char* a, size_t aLength, const char* b) {
  if (std::strlen(b) != aLength) return false;
  bool trail = false;
  for (size_t i = 0; i < aLength; ++i) {
    const bool single = !trail && !IsSjisLeadRange(static_cast<unsigned char>(a[i]));
    trail = !trail && !single;
    if (single ? AsciiUpper(a[i]) != AsciiUpper(b[i]) : a[i] != b[i]) return false;
  }
  return true;
}

bool SameName(const char* a, const char* b) { return SameName(a, std::strlen(a), b); }
