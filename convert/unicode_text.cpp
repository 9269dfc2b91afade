#include "convert/unicode_text.h"

#include <cstdint>

#include "convert/csv_encoding.h"

namespace {

#include "convert/unicode_cp932.inc"

inline unsigned Unit(const unsigned char* bytes, int k) {
  return static_cast<unsigned>(bytes[2 * k]) << 8 | bytes[2 * k + 1];
}

inline bool IsBlankUnit(unsigned u) { return u == 0x0020 || u == 0x3000 || u == 0x0000; }

char* PutUtf8CodePoint(char* o, unsigned cp) {
  if (cp < 0x80) {
    *o++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *o++ = static_cast<char>(0xC0 | cp >> 6);
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = static_cast<char>(0xE0 | cp >> 12);
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | cp >> 18);
    *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

}  // namespace

unsigned Cp932OfCodePoint(unsigned cp) {
  if (cp > 0xFFFF) return 0;
  const int page = kUnicodePageIndex[cp >> 8];
  return page < 0 ? 0 : kUnicodePages[page][cp & 0xFF];
}

char* PutUnicodeText(char* o, const unsigned char* bytes, int units, bool utf8,
                     const DecodeContext& with, int* errors) {
  *errors = 0;
  int n = units;
  while (n > 0 && IsBlankUnit(Unit(bytes, n - 1))) --n;
  if (n == 0) return o;
  char* p = o;
  *p++ = '"';
  if (utf8) p = PutRawUtf8Open(p);
  // A substitution pair with a zero byte ends the text, as it ends host text;
  // the characters after it are still counted.
  const unsigned char* sub = with.tables->substitution;
  bool ended = false;
  for (int k = 0; k < n; ++k) {
    unsigned cp = Unit(bytes, k);
    bool broken = false;
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      const unsigned next = k + 1 < n ? Unit(bytes, k + 1) : 0;
      if (cp <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        ++k;
      } else {
        broken = true;
      }
    }
    if (cp == 0) cp = 0x20;
    if (utf8) {
      if (broken) {
        ++*errors;
        with.report->UnicodeError(cp);
        cp = 0xFFFD;
      }
      p = PutUtf8CodePoint(p, cp);
      if (cp == '"') *p++ = '"';
      continue;
    }
    const unsigned sjis = broken ? 0 : Cp932OfCodePoint(cp);
    if (sjis == 0) {
      ++*errors;
      with.report->UnicodeError(cp);
      if (ended || sub[0] == 0 || sub[1] == 0) {
        ended = true;
        continue;
      }
      *p++ = static_cast<char>(sub[0]);
      *p++ = static_cast<char>(sub[1]);
    } else if (ended) {
      continue;
    } else if (sjis < 0x100) {
      *p++ = static_cast<char>(sjis);
      if (sjis == '"') *p++ = '"';
    } else {
      *p++ = static_cast<char>(sjis >> 8);
      *p++ = static_cast<char>(sjis & 0xFF);
    }
  }
  if (utf8) {
    p = PutRawUtf8Close(p);
  } else if (p == o + 1) {
    return o;  // the text ended before its first character
  }
  *p++ = '"';
  return p;
}
