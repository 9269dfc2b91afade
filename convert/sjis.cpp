#include "convert/sjis.h"

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
