#include "convert/value_format.h"

#include <cstring>

#include "base/sjis.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}


char* PutUnsigned(char* o, uint64_t u) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  while (n > 0) *o++ = digits[--n];
  return o;
}

}  // namespace

char* PutInt64(char* o, int64_t v) {
  if (v < 0) {
    *o++ = '-';
    return PutUnsigned(o, 0 - static_cast<uint64_t>(v));
  }
  return PutUnsigned(o, static_cast<uint64_t>(v));
}

namespace {

// As "%02d" writes it: at least two characters, zeros after no sign.
char* PutTwoDigits(char* o, int64_t v) {
  if (v >= 0 && v < 10) *o++ = '0';
  return PutInt64(o, v);
}

// The number at the start of a decoded packed text, read the way the C
// library reads one (leading blanks, an optional sign, digits up to the first
// other character), with its leading zeros dropped. Invalid nibbles, which
// the decoder shows as ':' to '?', therefore end the number.
struct DigitRun {
  bool negative;
  const char* digits;
  int count;  // 0 for a zero value or no digits at all
};

DigitRun ScanDigits(const char* text) {
  DigitRun run{false, text, 0};
  const char* p = text;
  while (IsBlank(*p)) ++p;
  if (*p == '+' || *p == '-') run.negative = *p++ == '-';
  while (*p == '0') ++p;
  run.digits = p;
  while (p[run.count] >= '0' && p[run.count] <= '9') ++run.count;
  return run;
}

// A packed value with decimals, formatted from its digits so that values of
// more digits than a double carries stay exact: zero is "0.", otherwise the
// value divided by ten to the decimals with exactly that many decimals.
char* PutScaled(char* o, const DigitRun& run, int decimals) {
  if (run.count == 0) return PutText(o, "0.", 2);
  if (run.negative) *o++ = '-';
  if (run.count > decimals) {
    o = PutText(o, run.digits, static_cast<size_t>(run.count - decimals));
    *o++ = '.';
    return PutText(o, run.digits + run.count - decimals, static_cast<size_t>(decimals));
  }
  *o++ = '0';
  *o++ = '.';
  std::memset(o, '0', static_cast<size_t>(decimals - run.count));
  o += decimals - run.count;
  return PutText(o, run.digits, static_cast<size_t>(run.count));
}

// A packed value without decimals. Texts of up to 18 characters are read as
// a 64-bit integer; longer ones, which a 64-bit integer may not hold, are
// written digit for digit.
char* PutInteger(char* o, const char* text, size_t textLength) {
  if (textLength <= 18) return PutInt64(o, TextToInt64(text));
  const DigitRun run = ScanDigits(text);
  if (run.count == 0) {
    *o++ = '0';
    return o;
  }
  if (run.negative) *o++ = '-';
  return PutText(o, run.digits, static_cast<size_t>(run.count));
}

}  // namespace

char* PutDecimalNumber(char* o, bool negative, const char* digits, int count, int decimals) {
  const DigitRun run{negative, digits, count};
  if (decimals > 0) return PutScaled(o, run, decimals);
  if (count == 0) {
    *o++ = '0';
    return o;
  }
  if (negative) *o++ = '-';
  return PutText(o, digits, static_cast<size_t>(count));
}

char* PutScaledInt64(char* o, int64_t v, int decimals) {
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char digits[20];
  int start = 20;
  while (u != 0) {
    digits[--start] = static_cast<char>('0' + u % 10);
    u /= 10;
  }
  return PutDecimalNumber(o, v < 0, digits + start, 20 - start, decimals);
}

char* PutPackedValue(char* o, const FieldDescriptor& field, ValueMarks marks, const char* text) {
  if (field.decimals > 0) return PutScaled(o, ScanDigits(text), field.decimals);
  const size_t textLength = std::strlen(text);
  if (marks & kMarkDate) {
    // A date YYYYMMDD; longer texts are no date and, like zero, write nothing.
    const int64_t v = textLength <= 18 ? TextToInt64(text) : 0;
    if (v == 0) return o;
    o = PutInt64(o, v / 10000);
    *o++ = '/';
    o = PutTwoDigits(o, (v / 100) % 100);
    *o++ = '/';
    return PutTwoDigits(o, v % 100);
  }
  if (marks & kMarkYen) *o++ = YenMark(marks);
  return PutInteger(o, text, textLength);
}

// The usual packed field, straight from its bytes: every nibble a decimal
// digit and a sign nibble B, C, D or F at the end. Writes what PutPackedValue
// writes for the decoded text and returns the position after it, or null
// (nothing written) for any other field, which takes the general road. The
// decoded text would be a blank, the digits and the sign, 2 * length
// characters.
char* PutPackedFast(char* o, const FieldDescriptor& field, ValueMarks marks, const unsigned char* bytes) {
  const int length = field.length;
  if (length < 1 || length > 16) return nullptr;
  const unsigned sign = bytes[length - 1] & 0x0F;
  if (sign != 0xB && sign != 0xC && sign != 0xD && sign != 0xF) return nullptr;
  char digits[32];
  int n = 0;
  for (int k = 0; k < length; ++k) {
    const unsigned high = bytes[k] >> 4;
    const unsigned low = bytes[k] & 0x0F;
    if (high > 9 || (low > 9 && k != length - 1)) return nullptr;
    digits[n++] = static_cast<char>('0' + high);
    if (k != length - 1) digits[n++] = static_cast<char>('0' + low);
  }
  int lead = 0;
  while (lead < n && digits[lead] == '0') ++lead;
  const DigitRun run{sign == 0xB || sign == 0xD, digits + lead, n - lead};
  if (field.decimals > 0) return PutScaled(o, run, field.decimals);
  const int textLength = 2 * length;
  if (marks & kMarkDate) {
    if (textLength > 18 || run.count == 0) return o;
    if (!run.negative && run.count >= 5) {
      // The usual date: its digits are the text, cut before month and day.
      const int yearDigits = run.count - 4;
      o = PutText(o, run.digits, static_cast<size_t>(yearDigits));
      o[0] = '/';
      o[1] = run.digits[yearDigits];
      o[2] = run.digits[yearDigits + 1];
      o[3] = '/';
      o[4] = run.digits[yearDigits + 2];
      o[5] = run.digits[yearDigits + 3];
      return o + 6;
    }
    int64_t v = 0;
    for (int k = 0; k < run.count; ++k) v = v * 10 + (run.digits[k] - '0');
    if (run.negative) v = -v;
    o = PutInt64(o, v / 10000);
    *o++ = '/';
    o = PutTwoDigits(o, (v / 100) % 100);
    *o++ = '/';
    return PutTwoDigits(o, v % 100);
  }
  if (marks & kMarkYen) *o++ = YenMark(marks);
  if (run.count == 0) {
    *o++ = '0';
    return o;
  }
  if (run.negative) *o++ = '-';
  return PutText(o, run.digits, static_cast<size_t>(run.count));
}


namespace {

// True when [value, end) holds a byte that would end the value early in a
// CSV reader: a comma, a double quote or a line end.
inline bool BreaksColumns(const char* value, const char* end) {
  for (const char* p = value; p < end; ++p) {
    const char c = *p;
    if (c == ',' || c == '"' || c == '\n' || c == '\r') return true;
  }
  return false;
}

// An unquoted value [o, end) that would break its row is put in double
// quotes (its own quotes are doubled already), as every CSV reader takes it;
// any other value stays as it is. Returns the new end. Out of line, so that
// the quoted values' road stays a leaf.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
char* QuotedIfNeeded(char* o, char* end) {
  if (!BreaksColumns(o, end)) return end;
  std::memmove(o + 1, o, static_cast<size_t>(end - o));
  *o = '"';
  end[1] = '"';
  return end + 2;
}

}  // namespace

char* FinishTextValue(char* o, ValueMarks marks, char* text, size_t n) {
  char* end = text + n;
  if (marks & (kMarkDate | kMarkYen)) {
    if ((marks & kMarkDate) && n >= 4) {
      // Slashes before month and day; a text too short for a date stands as it is.
      char* const monthDay = end - 4;
      const char m0 = monthDay[0], m1 = monthDay[1], d0 = monthDay[2], d1 = monthDay[3];
      monthDay[0] = '/';
      monthDay[1] = m0;
      monthDay[2] = m1;
      monthDay[3] = '/';
      monthDay[4] = d0;
      monthDay[5] = d1;
      end = monthDay + 6;
    }
    if (marks & kMarkYen) text[-1] = YenMark(marks);
  }
  if (marks & kMarkQuoted) {
    *o = '"';
    *end = '"';
    return end + 1;
  }
  return QuotedIfNeeded(o, end);
}

char* PutTextValue(char* o, ValueMarks marks, const char* text, int length) {
  const size_t n = static_cast<size_t>(length);
  char* const at = TextStart(o, marks);
  std::memmove(at, text, n);
  return FinishTextValue(o, marks, at, n);
}

namespace {

// End of text (length bytes) with its trailing blanks left out, found
// character by character. The backward trims below compare raw bytes, which
// would take the trail byte 0x81 of a character such as ＝ (0x81 0x81) and a
// following '@' for a full-width blank and leave half a character behind;
// they fall back to this walk when their cut lands inside a character.
size_t TrimmedEndByCharacters(const char* p, size_t length) {
  size_t end = 0;
  size_t i = 0;
  while (i < length) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == ' ') {
      i += 1;
    } else if (IsSjisLeadRange(c) && i + 1 < length) {
      const bool wideBlank = c == 0x81 && p[i + 1] == '\x40';
      i += 2;
      if (!wideBlank) end = i;
    } else {
      i += 1;
      end = i;
    }
  }
  return end;
}

// Blanks (ASCII and full-width) at both ends of text (length bytes, then a
// zero byte), as TrimBlanks removes them, found without moving the text:
// *start receives the first kept byte, the result is the kept length.
const uint64_t kEightBlanks = 0x2020202020202020u;
// "\x81\x40" four times as memory holds it, on any host.
const uint64_t kFourWideBlanks = [] {
  const char wide[8] = {'\x81', '\x40', '\x81', '\x40', '\x81', '\x40', '\x81', '\x40'};
  uint64_t v;
  std::memcpy(&v, wide, 8);
  return v;
}();

// How many of the last bytes of eight, as memory holds them, are zero (x is
// not zero): the blanks at the end of the eight when x is them XOR blanks.
inline size_t TrailingBlanks(uint64_t x) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return static_cast<size_t>(__builtin_clzll(x)) / 8;
#elif defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return static_cast<size_t>(__builtin_ctzll(x)) / 8;
#else
  unsigned char bytes[8];
  std::memcpy(bytes, &x, 8);
  size_t n = 0;
  while (n < 8 && bytes[7 - n] == 0) ++n;
  return n;
#endif
}

}  // namespace

int TrimmedSpan(const char* text, size_t length, const char** start) {
  const char* p = text;
  for (;;) {
    if (p[0] == ' ') {
      p += 1;
    } else if (p[0] == '\x81' && p[1] == '\x40') {
      p += 2;
    } else {
      break;
    }
  }
  length -= static_cast<size_t>(p - text);  // the terminator stops the loop above
  const size_t untrimmed = length;
  // Padding comes in long runs: eight blanks, or four full-width blanks, at a
  // time first, then the blanks at the end of the last eight bytes at once;
  // each such step is what the loop below would do in turn.
  while (length >= 8) {
    uint64_t tail;
    std::memcpy(&tail, p + length - 8, 8);
    if (tail == kEightBlanks || tail == kFourWideBlanks) {
      length -= 8;
      continue;
    }
    const size_t blanks = TrailingBlanks(tail ^ kEightBlanks);
    if (blanks > 0) {
      length -= blanks;
    } else if (p[length - 2] == '\x81' && p[length - 1] == '\x40') {
      length -= 2;
    } else {
      break;
    }
  }
  for (;;) {
    if (length >= 1 && p[length - 1] == ' ') {
      length -= 1;
    } else if (length >= 2 && p[length - 2] == '\x81' && p[length - 1] == '\x40') {
      length -= 2;
    } else {
      break;
    }
  }
  if (length < untrimmed && EndsInLeadByte(p, length)) {
    length = TrimmedEndByCharacters(p, untrimmed);
  }
  *start = p;
  return static_cast<int>(length);
}


int TrimBlanks(char* text) {
  const char* start = nullptr;
  const int length = TrimmedSpan(text, std::strlen(text), &start);
  std::memmove(text, start, static_cast<size_t>(length));
  text[length] = '\0';
  return length;
}

int64_t TextToInt64(const char* text) {
  char work[30] = {};
  int n = 0;
  for (const char* p = text; *p != '\0' && n < static_cast<int>(sizeof work) - 1; ++p) {
    if (*p == ' ' || *p == ',' || *p == '\\') continue;
    work[n++] = *p;
  }
  if (n > 0 && work[0] == '"' && work[n - 1] == '"') {
    work[0] = ' ';
    work[--n] = '\0';
  }
  if (char* point = std::strchr(work, '.')) *point = '\0';

  const char* p = work;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Accumulate as a negative number so INT64_MIN is reachable; saturate.
  int64_t v = 0;
  bool saturated = false;
  while (*p >= '0' && *p <= '9') {
    const int digit = *p++ - '0';
    if (v < (INT64_MIN + digit) / 10) {
      saturated = true;
      break;
    }
    v = v * 10 - digit;
  }
  if (saturated) return negative ? INT64_MIN : INT64_MAX;
  if (negative) return v;
  return v == INT64_MIN ? INT64_MAX : -v;
}

