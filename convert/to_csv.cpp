#include "convert/to_csv.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "app/process_state.h"
#include "convert/block_io.h"
#include "convert/host_code.h"
#include "convert/sjis.h"
#include "platform/platform.h"
#include "platform/stream.h"
#include "platform/ui.h"

int (*g_ToCsvUpdateIndicator)(const char* caption, const char* text) = UpdateIndicator;
int (*g_ToCsvMessageBox)(const char* text, const char* caption, unsigned style) = ShowMessageBox;
bool g_ToCsvPlainFields = false;

namespace {

constexpr int kMaxFields = 100;
constexpr int kFieldNameSize = 50;      // names of at most 49 bytes
constexpr int kLineSize = 3000;         // description lines, paths, summary text
constexpr int kFieldBufferSize = 256;   // field bytes, status text
constexpr int kMaxFieldLength = 255;
constexpr int kMaxDecimals = 255;
constexpr int kMaxRecordLength = 3000;
constexpr int kMaxNameLength = 200;     // the status text must fit its 256 bytes
constexpr int kShownNameLength = 40;    // of a refused name, in its error line
constexpr int kStatusEvery = 100;

const char kCaption[] = "ＣＳＶ変換中...";
const char kBadFdf[] = ".fdfの形式が不正(toCSV)\n";

// Images of gigabytes are read and written in large blocks: records are cut
// from the image block and rows collected in the output block, so the file
// system sees few large calls and memory does not grow with the file.
constexpr size_t kImageBlockSize = 1u << 18;
constexpr size_t kOutBlockSize = 1u << 20;
// Longest value: a packed value of 255 characters with a point, 255 decimals
// in front of it ("0." and zeros) or a quoted or dated text of 255 bytes.
constexpr size_t kMaxValueBytes = 600;
constexpr size_t kMaxRowBytes = 24 + kMaxFields * (1 + kMaxValueBytes) + 2;

// Two image blocks, read in turn: one is read ahead while the records of
// the other are converted. The start of a record that spans two blocks is
// moved into the margin in front of the next one.
char s_ImageBlocks[2][kMaxRecordLength + kImageBlockSize];
// Two output blocks, filled in turn: one is written by the block writer while
// rows go into the other. A row is started only while less than
// kOutBlockSize is pending, so the margin holds any row.
char s_OutBlocks[2][kOutBlockSize + kMaxRowBytes];

struct FieldDescriptor {
  char name[kFieldNameSize];
  char type;
  int32_t offset;
  int32_t length;
  int32_t decimals;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal integer as the C library reads one: leading blanks, an optional
// sign, digits up to the first other character; no digits give 0. Saturates
// far outside every range a description file may use.
int32_t ReadInt(const char* p) {
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v < 1000000000) v = v * 10 + (*p - '0');
    ++p;
  }
  return static_cast<int32_t>(negative ? -v : v);
}

bool StartsWithPcfo(const char* line) {
  const char* key = "PCFO";
  for (int i = 0; i < 4; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != key[i]) return false;
  }
  return true;
}

// Interprets one field line (line end removed). False when it is not a valid
// field line or the field does not fit the limits.
bool ParseFieldLine(char* line, int32_t offset, FieldDescriptor* field) {
  char* tokens[4];
  int count = 0;
  char* p = line;
  for (;;) {
    tokens[count++] = p;
    char* space = std::strchr(p, ' ');
    if (space != nullptr) *space = '\0';
    if (count == 4 || space == nullptr) break;
    p = space + 1;
  }
  if (std::strcmp(tokens[0], "PCFL") != 0 || count < 4) return false;

  if (std::strlen(tokens[1]) >= static_cast<size_t>(kFieldNameSize)) return false;
  std::strcpy(field->name, tokens[1]);

  const size_t typeLength = std::strlen(tokens[2]);
  if (typeLength == 1) {
    field->type = tokens[2][0];
  } else if (typeLength == 2) {
    field->type = tokens[2][1] == '2' ? '2' : '1';
  } else {
    return false;
  }

  const int32_t n = ReadInt(tokens[3]);
  const char* slash = std::strchr(tokens[3], '/');
  if (slash != nullptr) {
    field->length = n / 2;
    field->decimals = ReadInt(slash + 1);
  } else {
    const char t = field->type;
    field->length = (typeLength == 1 && (t == '2' || t == 'y' || t == 'd')) ? n / 2 : n;
    field->decimals = 0;
  }
  if (field->length < 0 || field->length > kMaxFieldLength) return false;
  if (field->decimals < 0 || field->decimals > kMaxDecimals) return false;
  field->offset = offset;
  return offset + field->length <= kMaxRecordLength;
}

// Reads the field list. False when the file breaks the format or a limit.
bool ReadFieldList(FILE* fdf, char* line, FieldDescriptor* fields, int* fieldCount) {
  *fieldCount = 0;
  bool started = false;
  while (!started) {
    if (std::fgets(line, kLineSize, fdf) == nullptr) return false;  // no PCFO line
    started = StartsWithPcfo(line);
  }
  int32_t offset = 0;
  while (std::fgets(line, kLineSize, fdf) != nullptr) {
    const size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
    if (*fieldCount >= kMaxFields) return false;
    FieldDescriptor* field = &fields[*fieldCount];
    if (!ParseFieldLine(line, offset, field)) return false;
    offset += field->length;
    ++*fieldCount;
  }
  return *fieldCount > 0;
}

// ---- Output formatting ---------------------------------------------------
// Each Put writes at o and returns the position after what it wrote.

// Values are short: copied inline in words of fixed size (overlapping at
// the end) rather than by a library call each.
inline char* PutText(char* o, const char* text, size_t n) {
  if (n >= 16) {
    size_t k = 0;
    for (; k + 16 < n; k += 16) std::memcpy(o + k, text + k, 16);
    std::memcpy(o + n - 16, text + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(o, text, 8);
    std::memcpy(o + n - 8, text + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(o, text, 4);
    std::memcpy(o + n - 4, text + n - 4, 4);
  } else {
    for (size_t k = 0; k < n; ++k) o[k] = text[k];
  }
  return o + n;
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

char* PutInt64(char* o, int64_t v) {
  if (v < 0) {
    *o++ = '-';
    return PutUnsigned(o, 0 - static_cast<uint64_t>(v));
  }
  return PutUnsigned(o, static_cast<uint64_t>(v));
}

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

char* PutPackedValue(char* o, const FieldDescriptor& field, const char* text) {
  if (field.decimals > 0) return PutScaled(o, ScanDigits(text), field.decimals);
  const size_t textLength = std::strlen(text);
  if (field.type == 'd') {
    // A date YYYYMMDD; longer texts are no date and, like zero, write nothing.
    const int64_t v = textLength <= 18 ? TextToInt64(text) : 0;
    if (v == 0) return o;
    o = PutInt64(o, v / 10000);
    *o++ = '/';
    o = PutTwoDigits(o, (v / 100) % 100);
    *o++ = '/';
    return PutTwoDigits(o, v % 100);
  }
  if (field.type == 'y') *o++ = '\\';
  return PutInteger(o, text, textLength);
}

// The usual packed field, straight from its bytes: every nibble a decimal
// digit and a sign nibble C, D or F at the end. Writes what PutPackedValue
// writes for the decoded text and returns the position after it, or null
// (nothing written) for any other field, which takes the general road. The
// decoded text would be a blank, the digits and the sign, 2 * length
// characters.
char* PutPackedFast(char* o, const FieldDescriptor& field, const unsigned char* bytes) {
  const int length = field.length;
  if (length < 1 || length > 16) return nullptr;
  const unsigned sign = bytes[length - 1] & 0x0F;
  if (sign != 0xC && sign != 0xD && sign != 0xF) return nullptr;
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
  const DigitRun run{sign == 0xD, digits + lead, n - lead};
  if (field.decimals > 0) return PutScaled(o, run, field.decimals);
  const int textLength = 2 * length;
  if (field.type == 'd') {
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
  if (field.type == 'y') *o++ = '\\';
  if (run.count == 0) {
    *o++ = '0';
    return o;
  }
  if (run.negative) *o++ = '-';
  return PutText(o, run.digits, static_cast<size_t>(run.count));
}

// Where a text value of type starts in its column at o: after the mark that
// comes before it ('"' or '\\'), if any.
inline char* TextStart(char* o, char type) { return type == 'I' || type == 'D' ? o : o + 1; }

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
// any other value stays as it is. Returns the new end.
char* QuotedIfNeeded(char* o, char* end) {
  if (!BreaksColumns(o, end)) return end;
  std::memmove(o + 1, o, static_cast<size_t>(end - o));
  *o = '"';
  end[1] = '"';
  return end + 2;
}

// Finishes a text value of n bytes (n >= 1) that stands at TextStart(o, type):
// its marks, and a date's slashes. Returns the position after it.
char* FinishTextValue(char* o, char type, char* text, size_t n) {
  switch (type) {
    case 'I':
      return QuotedIfNeeded(o, text + n);
    case 'Y':
      *o = '\\';
      return QuotedIfNeeded(o, text + n);
    case 'D': {
      // Too short for a date: written as it stands.
      if (n < 4) return QuotedIfNeeded(o, text + n);
      char* const monthDay = text + n - 4;
      const char m0 = monthDay[0], m1 = monthDay[1], d0 = monthDay[2], d1 = monthDay[3];
      monthDay[0] = '/';
      monthDay[1] = m0;
      monthDay[2] = m1;
      monthDay[3] = '/';
      monthDay[4] = d0;
      monthDay[5] = d1;
      return QuotedIfNeeded(o, monthDay + 6);
    }
    default:  // '1', 'A', 'W'
      *o = '"';
      text[n] = '"';
      return text + n + 1;
  }
}

char* PutTextValue(char* o, char type, const char* text, int length) {
  const size_t n = static_cast<size_t>(length);
  char* const at = TextStart(o, type);
  std::memmove(at, text, n);
  return FinishTextValue(o, type, at, n);
}

bool IsTextType(char type) {
  return type == '1' || type == 'A' || type == 'W' || type == 'I' || type == 'Y' || type == 'D';
}

// Type 1 holds either pure double-byte text or mixed text; it is taken as
// double-byte when every character position holds a double-byte code.
bool LooksDoubleByte(const unsigned char* bytes, int length) {
  if (length % 2 != 0) return false;
  if (std::memchr(bytes, 0x0E, static_cast<size_t>(length)) != nullptr) return false;
  for (int k = 0; k < length; k += 2) {
    if (bytes[k] < 0x70) continue;
    if (!UserTableHasHostCode((static_cast<unsigned>(bytes[k]) << 8) | bytes[k + 1])) return false;
  }
  return true;
}

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

// Decodes one field of record and writes its value at o. Returns the
// position after it; adds the decoder's error count to *errorTotal.
char* PutField(char* o, const FieldDescriptor& field, const char* record, int32_t* errorTotal) {
  // The decoders read only the field's own bytes (an odd double-byte run
  // takes the byte after it as 0 without reading it), so they are handed the
  // field in place. src of ConvertMixedText is not written to.
  char* bytes = const_cast<char*>(record + field.offset);
  // Text is decoded straight into the row, after the mark that comes before
  // it, and trimmed where it stands; the row's margin holds the decoder's
  // 256 bytes. Packed fields go through the decoded text.
  char decoded[kFieldBufferSize];
  char* const text = TextStart(o, field.type);
  int errors;
  int length = 0;
  bool doubleByte = false;
  switch (field.type) {
    case 'A':
    case 'I':
    case 'Y':
    case 'D':
      errors = ConvertMixedTextLength(bytes, field.length, text, &length);
      break;
    case 'W':
      doubleByte = true;
      break;
    case '1':
      doubleByte = LooksDoubleByte(reinterpret_cast<const unsigned char*>(bytes), field.length);
      if (!doubleByte) errors = ConvertMixedTextLength(bytes, field.length, text, &length);
      break;
    default:
      if (char* end = PutPackedFast(o, field, reinterpret_cast<const unsigned char*>(bytes))) {
        return end;
      }
      errors = ConvertPackedDecimal(bytes, field.length, decoded);
      break;
  }
  if (doubleByte) {
    errors = ConvertDoubleByteRun(bytes, field.length, text);
    // Exactly the field's bytes, unless a substitution pair with a zero byte
    // ended the text early.
    length = field.length;
    if (errors > 0 && (g_SubstitutionPair[0] == 0 || g_SubstitutionPair[1] == 0)) {
      length = static_cast<int>(std::strlen(text));
    }
  }
  if (errors > 0) *errorTotal = *errorTotal > INT32_MAX - errors ? INT32_MAX : *errorTotal + errors;

  if (!IsTextType(field.type)) {
    decoded[kFieldBufferSize - 1] = '\0';
    return PutPackedValue(o, field, decoded);
  }
  const char* kept;
  length = TrimmedSpan(text, static_cast<size_t>(length), &kept);
  if (length == 0) return o;
  const size_t n = static_cast<size_t>(length);
  if (kept != text) std::memmove(text, kept, n);
  return FinishTextValue(o, field.type, text, n);
}

// The same value the plain way: a zero-terminated copy of the field, the
// decoded text trimmed in place and, for packed fields, read back from the
// text. Kept as the yardstick of PutField (g_ToCsvPlainFields).
char* PutFieldPlain(char* o, const FieldDescriptor& field, const char* record,
                    int32_t* errorTotal) {
  char fieldBuffer[kFieldBufferSize];
  char decoded[kFieldBufferSize];
  std::memcpy(fieldBuffer, record + field.offset, static_cast<size_t>(field.length));
  fieldBuffer[field.length] = '\0';

  int errors;
  switch (field.type) {
    case 'A':
    case 'I':
    case 'Y':
    case 'D':
      errors = ConvertMixedText(fieldBuffer, field.length, decoded);
      break;
    case 'W':
      errors = ConvertDoubleByteRun(fieldBuffer, field.length, decoded);
      break;
    case '1':
      errors = LooksDoubleByte(reinterpret_cast<const unsigned char*>(fieldBuffer), field.length)
                   ? ConvertDoubleByteRun(fieldBuffer, field.length, decoded)
                   : ConvertMixedText(fieldBuffer, field.length, decoded);
      break;
    default:
      errors = ConvertPackedDecimal(fieldBuffer, field.length, decoded);
      break;
  }
  decoded[kFieldBufferSize - 1] = '\0';
  if (errors > 0) *errorTotal = *errorTotal > INT32_MAX - errors ? INT32_MAX : *errorTotal + errors;

  if (!IsTextType(field.type)) return PutPackedValue(o, field, decoded);
  const int length = TrimBlanks(decoded);
  if (length == 0) return o;
  return PutTextValue(o, field.type, decoded, length);
}

// The record number of the ID column as decimal text, counted up in place
// rather than formatted anew for every row.
struct RowNumber {
  char digits[24];  // the number right-aligned, digits[start..kEnd)
  int start;
};

constexpr int kRowNumberEnd = 24;

void StartRowNumber(RowNumber* n) {
  n->digits[kRowNumberEnd - 1] = '0';
  n->start = kRowNumberEnd - 1;
}

void NextRowNumber(RowNumber* n) {
  int k = kRowNumberEnd - 1;
  while (k >= n->start && n->digits[k] == '9') n->digits[k--] = '0';
  if (k >= n->start) {
    ++n->digits[k];
  } else {
    // The row counter never reaches 20 digits.
    n->digits[--n->start] = '1';
  }
}

// ---- Files -----------------------------------------------------------------

// <program folder>[<subFolder><sep>]<name><extension> into path. False when
// it does not fit.
bool BuildPath(char* path, const char* subFolder, const char* name, const char* extension) {
  bool fits = CopyText(path, kLineSize, g_ProgramFolder);
  if (subFolder[0] != '\0') {
    const char sep[2] = {kPathSep, '\0'};
    fits = fits && AppendText(path, kLineSize, subFolder) && AppendText(path, kLineSize, sep);
  }
  return fits && AppendText(path, kLineSize, name) && AppendText(path, kLineSize, extension);
}

FILE* OpenFile(char* path, const char* subFolder, const char* name, const char* extension,
               const char* mode) {
  if (!BuildPath(path, subFolder, name, extension)) return nullptr;
  return OpenStream(path, mode);
}

// "<name>：レコード数 <records>", with " (Shift-JIS 変換ｴﾗｰ <total>)" when
// errors were counted.
void BuildStatus(char* status, const char* name, int64_t records, int32_t errorTotal) {
  char number[24];
  CopyText(status, kFieldBufferSize, name);
  AppendText(status, kFieldBufferSize, "：レコード数 ");
  *PutInt64(number, records) = '\0';
  AppendText(status, kFieldBufferSize, number);
  if (errorTotal != 0) {
    AppendText(status, kFieldBufferSize, " (Shift-JIS 変換ｴﾗｰ ");
    *PutInt64(number, errorTotal) = '\0';
    AppendText(status, kFieldBufferSize, number);
    AppendText(status, kFieldBufferSize, ")");
  }
}

enum class RecordsEnd { kDone, kCancelled, kPartial, kReadFailed, kWriteFailed };

// Converts every record of image into rows of csv.
RecordsEnd ConvertRecords(FILE* image, FILE* csv, const char* name, const FieldDescriptor* fields,
                          int fieldCount, int32_t recordLength, int32_t* errorTotal,
                          int64_t* recordsWritten) {
  // The record number of the ID column and the status text; the decoders see
  // it through the record counter.
  int64_t& records = *recordsWritten;
  BlockWriter writer(csv);
  int filling = 0;
  char* block = s_OutBlocks[filling];
  char* o = block;
  // The counts at the end of the block handed over last: a failed write is
  // learnt one block late, and the summary then counts as if the conversion
  // had stopped at the block that failed, as a write in place would.
  int64_t recordsSubmitted = 0;
  int32_t errorsSubmitted = 0;
  auto writeFailed = [&]() {
    records = recordsSubmitted;
    g_RecordCounter = static_cast<int32_t>(static_cast<uint32_t>(records));
    if (*errorTotal != -1) *errorTotal = errorsSubmitted;  // a cancel stays a cancel
    return RecordsEnd::kWriteFailed;
  };
  auto submit = [&]() {
    const bool ok = writer.Submit(block, static_cast<size_t>(o - block));
    if (ok) {
      recordsSubmitted = records;
      errorsSubmitted = *errorTotal;
      filling ^= 1;
      block = s_OutBlocks[filling];
      o = block;
    }
    return ok;
  };
  // The image bytes at hand are [data + pos, data + have).
  BlockReader reader(image);
  int reading = 0;
  reader.Start(s_ImageBlocks[reading] + kMaxRecordLength, kImageBlockSize);
  const char* data = nullptr;
  size_t have = 0;
  size_t pos = 0;
  bool atEnd = false;
  RecordsEnd result = RecordsEnd::kDone;
  const size_t length = static_cast<size_t>(recordLength);
  RowNumber rowNumber;
  StartRowNumber(&rowNumber);
  for (;;) {
    if (have - pos < length && !atEnd) {
      bool failed = false;
      const size_t n = reader.Wait(&failed);
      char* fresh = s_ImageBlocks[reading] + kMaxRecordLength;
      const size_t rest = have - pos;  // less than a record
      if (rest > 0) std::memcpy(fresh - rest, data + pos, rest);
      data = fresh - rest;
      have = rest + n;
      pos = 0;
      if (failed) {
        result = RecordsEnd::kReadFailed;
        break;
      }
      if (n < kImageBlockSize) {
        atEnd = true;  // blocks are read until full or the end
      } else {
        reading ^= 1;  // the block before is done with: read into it
        reader.Start(s_ImageBlocks[reading] + kMaxRecordLength, kImageBlockSize);
      }
    }
    const size_t available = have - pos;
    if (available == 0 || length == 0) break;
    if (available < length) {
      result = RecordsEnd::kPartial;
      break;
    }
    const char* record = data + pos;
    pos += length;

    if (g_ToCsvPlainFields) {
      o = PutInt64(o, records + 1);
      for (int i = 0; i < fieldCount; ++i) {
        *o++ = ',';
        o = PutFieldPlain(o, fields[i], record, errorTotal);
      }
    } else {
      NextRowNumber(&rowNumber);
      o = PutText(o, rowNumber.digits + rowNumber.start,
                  static_cast<size_t>(kRowNumberEnd - rowNumber.start));
      for (int i = 0; i < fieldCount; ++i) {
        *o++ = ',';
        o = PutField(o, fields[i], record, errorTotal);
      }
    }
    *o++ = '\n';
    ++records;
    g_RecordCounter = static_cast<int32_t>(static_cast<uint32_t>(records));
    if (o - block >= static_cast<ptrdiff_t>(kOutBlockSize) && !submit()) return writeFailed();
    if (records % kStatusEvery == 0) {
      char status[kFieldBufferSize];
      BuildStatus(status, name, records, *errorTotal);
      if (g_ToCsvUpdateIndicator(kCaption, status) != 0) {
        *errorTotal = -1;
        result = RecordsEnd::kCancelled;
        break;
      }
    }
  }
  if (!submit()) return writeFailed();
  if (!writer.Finish()) return writeFailed();
  return result;
}

}  // namespace

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

int toCSV(const char* subFolder, const char* name) {
  if (subFolder == nullptr) subFolder = "";
  if (name == nullptr) name = "";
  const bool singleFile = subFolder[0] == '\0';
  char line[kLineSize];

  // A name the status text cannot hold is refused; it is shown cut.
  char shownName[kFieldBufferSize];
  const bool nameTooLong = std::strlen(name) > static_cast<size_t>(kMaxNameLength);
  if (nameTooLong) {
    CopyText(shownName, kShownNameLength + 1, name);
    AppendText(shownName, sizeof shownName, "...");
  } else {
    CopyText(shownName, sizeof shownName, name);
  }

  g_RecordCounter = 0;
  g_DoubleByteErrors = 0;
  g_SingleByteErrors = 0;
  CopyText(g_CurrentFileName, kCurrentFileNameSize, shownName);
  g_CodeErrorReport = nullptr;
  int32_t errorTotal = 0;
  int32_t recordLength = 0;
  int64_t rows = 0;
  FILE* image = nullptr;
  FILE* csv = nullptr;

  FieldDescriptor fields[kMaxFields];
  int fieldCount = 0;

  if (nameTooLong) {
    AppendErrorLine(shownName, "のﾌｧｲﾙ名が長すぎる(toCSV)\n");
  } else {
    if (singleFile) {
      CopyText(line, kLineSize, g_ProgramFolder);
      if (AppendText(line, kLineSize, "CodeErr.csv")) {
        g_CodeErrorReport = OpenStream(line, "w");
        if (g_CodeErrorReport != nullptr) std::fputs("DB名,レコード番号,文字コード\n", g_CodeErrorReport);
      }
    }

    FILE* fdf = OpenFile(line, "", name, ".fdf", "r");
    bool fieldsRead = false;
    if (fdf == nullptr) {
      AppendErrorLine(name, ".fdfのオープンに失敗(toCSV)\n");
    } else {
      fieldsRead = ReadFieldList(fdf, line, fields, &fieldCount);
      std::fclose(fdf);
      if (!fieldsRead) AppendErrorLine(name, kBadFdf);
    }

    if (fieldsRead) {
      image = OpenFile(line, subFolder, name, ".db2", "r+b");
      if (image == nullptr) AppendErrorLine(name, ".db2のオープンに失敗(toCSV)\n");
    }
    if (image != nullptr) {
      csv = OpenFile(line, subFolder, name, ".csv", "w");
      if (csv == nullptr) AppendErrorLine(name, ".csvのオープンに失敗(toCSV)\n");
    }
    if (csv != nullptr) {
      const FieldDescriptor& last = fields[fieldCount - 1];
      recordLength = last.offset + last.length;
      g_RecordCounter = 0;

      bool written = std::fputs("\"ID\"", csv) >= 0;
      for (int i = 0; i < fieldCount && written; ++i) {
        written = std::fputs(",\"", csv) >= 0 && std::fputs(fields[i].name, csv) >= 0 &&
                  std::fputc('"', csv) != EOF;
      }
      written = written && std::fputc('\n', csv) != EOF;

      RecordsEnd end = RecordsEnd::kWriteFailed;
      if (written) {
        end = ConvertRecords(image, csv, name, fields, fieldCount, recordLength, &errorTotal, &rows);
      }
      if (end == RecordsEnd::kPartial) {
        AppendErrorLine(name, "のﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n");
      } else if (end == RecordsEnd::kReadFailed) {
        AppendErrorLine(name, ".db2の読み込みに失敗(toCSV)\n");
      } else if (end == RecordsEnd::kWriteFailed) {
        AppendErrorLine(name, ".csvの書き込みに失敗(toCSV)\n");
        std::fclose(csv);
        csv = nullptr;
      }
    }
  }

  char status[kFieldBufferSize];
  BuildStatus(status, shownName, rows, errorTotal);
  g_ToCsvUpdateIndicator(kCaption, status);

  if (image != nullptr) std::fclose(image);
  if (csv != nullptr && std::fclose(csv) != 0) {
    // What the stream still held did not reach the disk.
    AppendErrorLine(name, ".csvの書き込みに失敗(toCSV)\n");
  }

  if (singleFile) {
    if (g_CodeErrorReport != nullptr) {
      std::fclose(g_CodeErrorReport);
      g_CodeErrorReport = nullptr;
    }
    // Room for the whole error text after the record size.
    static char summary[kErrorTextSize + 64];
    if (ErrorText()[0] != '\0') {
      std::snprintf(summary, sizeof summary, "レコードサイズ = %d バイト\n\n%s",
                    static_cast<int>(recordLength), ErrorText());
    } else {
      std::snprintf(summary, sizeof summary,
                    "レコードサイズ = %d バイト\n\nShift-JIS変換ｴﾗｰ総数=%6d\n  漢字変換ｴﾗｰ\t= %d\n  "
                    "EBCDIC変換ｴﾗｰ\t= %d\n",
                    static_cast<int>(recordLength), static_cast<int>(errorTotal),
                    static_cast<int>(g_DoubleByteErrors), static_cast<int>(g_SingleByteErrors));
    }
    g_ToCsvMessageBox(summary, shownName, kMbOk);
  }
  return errorTotal;
}
