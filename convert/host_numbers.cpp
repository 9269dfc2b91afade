#include "convert/host_numbers.h"

#include <charconv>
#include <cmath>
#include <cstring>

int ZonedToPacked(const unsigned char* zoned, int digits, unsigned char* packed, int* packedLength) {
  if (digits < 1) digits = 1;  // the reader never gives fewer; a zero digit then
  if (digits > kMaxZonedDigits) digits = kMaxZonedDigits;
  int invalid = 0;
  unsigned sign = zoned[digits - 1] >> 4;
  if (sign == 0xB || sign == 0xD) {
    sign = 0xD;
  } else if (sign == 0xA || sign == 0xC || sign == 0xE || sign == 0xF) {
    sign = 0xC;
  } else {
    sign = 0xC;
    invalid = 1;
  }
  // Nibbles, most significant first: a zero digit to make their count even,
  // the digits, the sign.
  const int bytes = (digits + 2) / 2;
  int nibble = 2 * bytes - (digits + 1);  // 1 when a zero digit leads
  std::memset(packed, 0, static_cast<size_t>(bytes));
  for (int k = 0; k < digits; ++k, ++nibble) {
    const unsigned d = zoned[k] & 0x0F;
    packed[nibble / 2] |= static_cast<unsigned char>(nibble % 2 == 0 ? d << 4 : d);
  }
  packed[bytes - 1] |= static_cast<unsigned char>(sign);
  *packedLength = bytes;
  return invalid;
}

int64_t BinaryValue(const unsigned char* bytes, int width) {
  uint64_t u = 0;
  for (int k = 0; k < width; ++k) u = u << 8 | bytes[k];
  if (width < 8) {
    // Sign-extend from the field's width.
    const uint64_t top = uint64_t{1} << (8 * width - 1);
    u = (u ^ top) - top;
  }
  int64_t v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

bool PutFloat(char** o, const unsigned char* bytes, int width) {
  // Room enough for any float or double in its shortest form.
  constexpr int kRoom = 32;
  uint64_t u = 0;
  for (int k = 0; k < width; ++k) u = u << 8 | bytes[k];
  std::to_chars_result r;
  if (width == 4) {
    const uint32_t u32 = static_cast<uint32_t>(u);
    float f;
    std::memcpy(&f, &u32, sizeof f);
    if (!std::isfinite(f)) return false;
    r = std::to_chars(*o, *o + kRoom, f);
  } else {
    double d;
    std::memcpy(&d, &u, sizeof d);
    if (!std::isfinite(d)) return false;
    r = std::to_chars(*o, *o + kRoom, d);
  }
  *o = r.ptr;
  return true;
}

char* PutHex(char* o, const unsigned char* bytes, int length) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int k = 0; k < length; ++k) {
    *o++ = kDigits[bytes[k] >> 4];
    *o++ = kDigits[bytes[k] & 0x0F];
  }
  return o;
}
