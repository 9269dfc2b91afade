#include "convert/decoders.h"

#include <cstdint>
#include <cstring>

#include "base/text.h"

// Kept out of line: the decoders reach the error paths only on an error.
#if defined(__GNUC__)
#define QV_COLD __attribute__((noinline, cold))
#else
#define QV_COLD
#endif

namespace {

constexpr unsigned char kShiftOut = 0x0E;
constexpr unsigned char kShiftIn = 0x0F;
constexpr int kMaxPackedLength = 127;

inline int32_t Saturated(int32_t counter) {
  return counter < INT32_MAX ? counter + 1 : counter;
}

inline unsigned Lookup(unsigned code, const uint16_t* const* rows) {
  return rows[code >> 8][code & 0xFF];
}

// Converts length bytes (any length >= 0 that fits dst) of double-byte codes
// from src into dst and terminates dst. Works in place as well: each pair is
// read before it is written.
int DoubleByteRun(const unsigned char* src, int length, unsigned char* dst,
                  const CodeTables& tables, CodeErrorReport* report) {
  const uint16_t* const* rows = tables.rows;
  int count = 0;
  const int whole = length & ~1;
  for (int p = 0; p < whole; p += 2) {
    const unsigned code = (static_cast<unsigned>(src[p]) << 8) | src[p + 1];
    const unsigned sjis = Lookup(code, rows);
    if (sjis != 0) {
      dst[p] = static_cast<unsigned char>(sjis >> 8);
      dst[p + 1] = static_cast<unsigned char>(sjis);
    } else {
      dst[p] = tables.substitution[0];
      dst[p + 1] = tables.substitution[1];
      ++count;
      report->DoubleByteError(code);
    }
  }
  if (length & 1) {
    // The last byte pairs with the zero byte that follows every field; only
    // the first byte of the result is kept.
    const unsigned code = static_cast<unsigned>(src[whole]) << 8;
    const unsigned sjis = Lookup(code, rows);
    if (sjis != 0) {
      dst[whole] = static_cast<unsigned char>(sjis >> 8);
    } else {
      dst[whole] = tables.substitution[0];
      ++count;
      report->DoubleByteError(code);
    }
  }
  dst[length] = 0;
  return count;
}

// Nonzero when one of the eight bytes of word equals byte. The words are
// built and stored in memory order, so this is the same on every host.
inline uint64_t HasByte(uint64_t word, unsigned char byte) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  const uint64_t x = word ^ (kOnes * byte);
  return (x - kOnes) & ~x & (kOnes << 7);
}

inline int Clamp(int length, int max) {
  return length < 0 ? 0 : (length > max ? max : length);
}

}  // namespace

void CodeErrorReport::Start(const char* name, FILE* rows) {
  CopyText(name_, sizeof name_, name);
  rows_ = rows;
  records_ = 0;
  doubleByte_ = 0;
  singleByte_ = 0;
  keep_ = false;
  keptCount_ = 0;
}

void CodeErrorReport::StartJob() {
  Start("", nullptr);
  keep_ = true;
}

void CodeErrorReport::Append(const CodeErrorReport& job, int32_t doubleByte, int32_t singleByte) {
  int64_t before = static_cast<int64_t>(doubleByte_) + singleByte_;
  const int64_t counted = static_cast<int64_t>(doubleByte) + singleByte;
  for (int i = 0; i < job.keptCount_ && i < counted && rows_ != nullptr; ++i) {
    if (++before > kCodeErrorRowLimit) break;
    std::fprintf(rows_, job.kept_[i].format, name_, job.kept_[i].record, job.kept_[i].code);
  }
  doubleByte_ = doubleByte_ > INT32_MAX - doubleByte ? INT32_MAX : doubleByte_ + doubleByte;
  singleByte_ = singleByte_ > INT32_MAX - singleByte ? INT32_MAX : singleByte_ + singleByte;
}

QV_COLD
void CodeErrorReport::Row(const char* format, unsigned code) {
  if (rows_ == nullptr && !keep_) return;
  if (static_cast<int64_t>(doubleByte_) + singleByte_ > kCodeErrorRowLimit) return;
  const int record = records_ < INT32_MAX ? records_ + 1 : INT32_MAX;
  if (keep_) {
    kept_[keptCount_++] = KeptRow{format, record, code};
    return;
  }
  std::fprintf(rows_, format, name_, record, code);
}

QV_COLD
void CodeErrorReport::DoubleByteError(unsigned code) {
  doubleByte_ = Saturated(doubleByte_);
  Row("%s,%d,0x%04x\n", code);
}

QV_COLD
void CodeErrorReport::UnicodeError(unsigned codePoint) {
  doubleByte_ = Saturated(doubleByte_);
  Row("%s,%d,U+%04X\n", codePoint);
}

QV_COLD
void CodeErrorReport::SingleByteError(unsigned code) {
  singleByte_ = Saturated(singleByte_);
  Row("%s,%d,0x%02x\n", code);
}

int ConvertDoubleByteRun(const char* src, int length, char* dst, const DecodeContext& with) {
  return DoubleByteRun(reinterpret_cast<const unsigned char*>(src), Clamp(length, kMaxTextFieldLength),
                       reinterpret_cast<unsigned char*>(dst), *with.tables, with.report);
}

int ConvertMixedText(const char* src, int length, char* dst, const DecodeContext& with,
                     int* textLength) {
  // Every source byte gives at most two output bytes, so the caller's 2 *
  // length + 1 bytes always hold the text and the loop needs no bounds
  // checks. The text is never cut: a value is either whole or not written.
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  length = Clamp(length, kMaxTextFieldLength);
  unsigned char* text = reinterpret_cast<unsigned char*>(dst);
  int count = 0;
  int o = 0;
  int i = 0;
  bool mayHoldZero = false;
  while (i < length) {
    const unsigned char c = s[i];
    if (c == kShiftOut) {
      int j = i + 1;
      while (j + 8 <= length) {
        uint64_t codes;
        memcpy(&codes, s + j, 8);
        if (HasByte(codes, kShiftIn)) break;
        j += 8;
      }
      while (j < length && s[j] != kShiftIn) ++j;
      int n = j - i - 1;
      // An odd run drops its last byte; scanning resumes at the byte that
      // ended the run, so a closing SI is then read as a single-byte code.
      const int next = (n & 1) ? j : i + n + 2;
      n &= ~1;
      const int substituted = DoubleByteRun(s + i + 1, n, text + o, *with.tables, with.report);
      count += substituted;
      mayHoldZero = mayHoldZero || substituted != 0;
      o += n;
      i = next;
      continue;
    }
    // A stretch of single-byte codes, up to the next shift-out. Translated
    // at full speed first, eight codes to a word; only a stretch that holds
    // an unmapped code or a quotation mark is done again code by code
    // (nothing is counted or reported before that).
    const unsigned char* table = with.tables->singleByte;
    unsigned char* t = text + o;
    uint64_t special = 0;
    int end = i;
    for (; end + 8 <= length; end += 8) {
      uint64_t codes;
      memcpy(&codes, s + end, 8);
      if (HasByte(codes, kShiftOut)) break;
      const unsigned char* c8 = s + end;
      const uint64_t word = uint64_t{table[c8[0]]} | uint64_t{table[c8[1]]} << 8 |
                            uint64_t{table[c8[2]]} << 16 | uint64_t{table[c8[3]]} << 24 |
                            uint64_t{table[c8[4]]} << 32 | uint64_t{table[c8[5]]} << 40 |
                            uint64_t{table[c8[6]]} << 48 | uint64_t{table[c8[7]]} << 56;
      special |= HasByte(word, 0) | HasByte(word, '"');
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      memcpy(t, &word, 8);
#else
      for (int b = 0; b < 8; ++b) t[b] = static_cast<unsigned char>(word >> (8 * b));
#endif
      t += 8;
    }
    for (; end < length && s[end] != kShiftOut; ++end) {
      const unsigned char v = table[s[end]];
      *t++ = v;
      special |= (v == 0) | (v == '"');
    }
    if (special == 0) {
      o += end - i;  // at least 1: s[i] is no shift-out
      i = end;
      continue;
    }
    for (; i < end; ++i) {
      unsigned char v = table[s[i]];
      if (v == 0) {
        v = ' ';
        ++count;
        with.report->SingleByteError(s[i]);
      }
      text[o++] = v;
      if (v == '"') text[o++] = '"';
    }
  }
  // Up to the first zero byte (a zero substitution pair ends the text; no
  // other code gives a zero byte).
  const void* zero = mayHoldZero ? memchr(text, 0, static_cast<size_t>(o)) : nullptr;
  const int out = zero ? static_cast<int>(static_cast<const unsigned char*>(zero) - text) : o;
  dst[out] = '\0';
  if (textLength != nullptr) *textLength = out;
  return count;
}

int ConvertPackedDecimal(const char* src, int length, char* dst) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  length = Clamp(length, kMaxPackedLength);
  dst[0] = ' ';
  int o = 1;
  bool started = false;
  int first = 0;  // position of the first shown character, 0 while none
  int invalid = 0;
  // One digit nibble: a blank until the first shown digit, '0' + d after.
  const auto put = [&](int d) {
    if (d > 9) {
      ++invalid;
    } else if (d >= 1) {
      started = true;
    }
    if (started && first == 0) first = o;
    dst[o++] = started ? static_cast<char>('0' + d) : ' ';
  };
  for (int k = 0; k < length; ++k) {
    const bool last = k == length - 1;
    if (last) started = true;
    put(s[k] >> 4);
    const int d = s[k] & 0x0F;
    // B is a minus sign on the host as D is (C, D and F are what it writes).
    if (last && (d == 0xB || d == 0xC || d == 0xD || d == 0xF)) {
      dst[o] = '\0';
      // The last byte's high digit is always shown, so first >= 1 and the
      // character before it is a blank.
      if (d == 0xB || d == 0xD) dst[first - 1] = '-';
      return invalid;
    }
    put(d);
  }
  dst[o] = '\0';
  return invalid;
}
