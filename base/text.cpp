#include "base/text.h"

#include <cstring>

#include "base/sjis.h"

namespace {

// Length of the longest prefix of src (at most limit bytes) that ends on a
// character boundary.
int FittingLength(const char* src, int limit) {
  int n = 0;
  while (n < limit && src[n] != '\0') {
    if (IsSjisLeadRange(static_cast<unsigned char>(src[n]))) {
      if (src[n + 1] == '\0' || n + 2 > limit) break;
      n += 2;
    } else {
      n += 1;
    }
  }
  return n;
}

}  // namespace

bool AppendText(char* dst, int size, const char* src) {
  if (size <= 0) return false;
  int used = static_cast<int>(strnlen(dst, static_cast<size_t>(size)));
  if (used >= size) {  // not terminated: repair rather than run past it
    dst[size - 1] = '\0';
    used = size - 1;
  }
  const int room = size - 1 - used;
  const int n = FittingLength(src, room);
  std::memcpy(dst + used, src, static_cast<size_t>(n));
  dst[used + n] = '\0';
  return src[n] == '\0';
}

bool CopyText(char* dst, int size, const char* src) {
  if (size <= 0) return false;
  dst[0] = '\0';
  return AppendText(dst, size, src);
}
