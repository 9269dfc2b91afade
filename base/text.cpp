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

void WipeText(void* text, unsigned long size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(text);
  for (unsigned long i = 0; i < size; ++i) p[i] = 0;
}

bool ParseFingerprint(const char* text, unsigned char out[kFingerprintSize]) {
  int digits = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ':') continue;
    int value;
    if (*p >= '0' && *p <= '9') {
      value = *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      value = *p - 'a' + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      value = *p - 'A' + 10;
    } else {
      return false;
    }
    if (digits >= 2 * kFingerprintSize) return false;
    if (digits % 2 == 0) {
      out[digits / 2] = static_cast<unsigned char>(value << 4);
    } else {
      out[digits / 2] = static_cast<unsigned char>(out[digits / 2] | value);
    }
    ++digits;
  }
  return digits == 2 * kFingerprintSize;
}
