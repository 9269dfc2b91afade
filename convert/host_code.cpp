#include "convert/host_code.h"

#include <cstdint>
#include <cstring>

#include "app/process_state.h"
#include "platform/profile.h"

// ---- Process-wide state -----------------------------------------------------

unsigned char g_SingleByteTable[256];
DoubleByteEntry g_UserDoubleByteTable[kUserTableSlots];
unsigned char g_SubstitutionPair[2];

int32_t g_RecordCounter;
int32_t g_DoubleByteErrors;
int32_t g_SingleByteErrors;
char g_CurrentFileName[kCurrentFileNameSize];
FILE* g_CodeErrorReport;

namespace {

// Constant data: nothing is loaded or allocated for it.
constexpr DoubleByteEntry kBuiltInTable[] = {
#include "convert/dbcs_table.inc"
};
constexpr int kBuiltInCount = static_cast<int>(sizeof(kBuiltInTable) / sizeof(kBuiltInTable[0]));
static_assert(kBuiltInCount == 7265, "built-in double-byte table must hold 7265 entries");

// The built-in table indexed by host code, made from kBuiltInTable by the
// compiler: one load per character instead of a search of 13 dependent
// probes. 0 where the table has no entry. 128 KiB of constant data.
struct DirectTable {
  uint16_t sjis[65536];
};

constexpr DirectTable MakeDirectTable() {
  DirectTable t{};
  for (const DoubleByteEntry& e : kBuiltInTable) t.sjis[e.host] = e.sjis;
  return t;
}

constexpr DirectTable kDirectTable = MakeDirectTable();

constexpr unsigned char kShiftOut = 0x0E;
constexpr unsigned char kShiftIn = 0x0F;
constexpr int kMaxTextLength = 255;  // decoded text, without its terminator
constexpr int kMaxPackedLength = 127;

// Value of a hexadecimal digit, or -1 for any other character.
inline int HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Value of count hexadecimal digits at text, most significant first, or -1
// when one of them is not a digit (a terminator included).
int HexValue(const char* text, int count) {
  int value = 0;
  for (int k = 0; k < count; ++k) {
    const int d = HexDigit(static_cast<unsigned char>(text[k]));
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

// Reads a settings section into buf: consecutive zero-terminated entries
// ended by an empty one. The two guard bytes after the reader's 3000 keep
// every walk over the entries inside buf whatever the reader delivered.
void ReadSection(const char* section, char (&buf)[kSettingsBufferSize + 2]) {
  buf[0] = '\0';
  buf[kSettingsBufferSize] = '\0';
  buf[kSettingsBufferSize + 1] = '\0';
  ProfileGetSection(section, buf, kSettingsBufferSize, g_SettingsPath);
}

inline int32_t Saturated(int32_t counter) {
  return counter < INT32_MAX ? counter + 1 : counter;
}

// Report row for a code that could not be converted. Kept out of line: the
// decoders reach it only on an error.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
void ReportCode(const char* format, unsigned code) {
  if (g_CodeErrorReport == nullptr) return;
  if (static_cast<int64_t>(g_DoubleByteErrors) + g_SingleByteErrors > kCodeErrorRowLimit) return;
  const int record = g_RecordCounter < INT32_MAX ? g_RecordCounter + 1 : INT32_MAX;
  fprintf(g_CodeErrorReport, format, g_CurrentFileName, record, code);
}

#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
void DoubleByteError(unsigned code) {
  g_DoubleByteErrors = Saturated(g_DoubleByteErrors);
  ReportCode("%s,%d,0x%04x\n", code);
}

#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
void SingleByteError(unsigned code) {
  g_SingleByteErrors = Saturated(g_SingleByteErrors);
  ReportCode("%s,%d,0x%02x\n", code);
}

// The double-byte lookup as rows of 256 codes by lead byte: the built-in
// table's rows and, for each lead byte the user table holds, a copy of its
// row with the user's entries laid over it, the first entry for a code
// winning. A lookup is then one load whoever defines the code. Made again
// whenever the user table is not the one it was made from (in practice once:
// the user table is read at start-up), which a walk over the user table per
// field tells.
struct LookupRows {
  const uint16_t* row[256];
  uint8_t owner[256];  // 0: the built-in row, k: own[k - 1]
  uint16_t own[kUserTableSlots][256];
  DoubleByteEntry madeFrom[kUserTableSlots];
  bool made;
};
LookupRows s_Lookup;

// Entries before the end slot; the table's last slot ends it in any case.
int UserEntryCount() {
  int n = 0;
  while (n < kUserTableSlots - 1 && g_UserDoubleByteTable[n].sjis != 0) ++n;
  return n;
}

bool MadeFromUserTable(const LookupRows& t, int n) {
  static_assert(sizeof(DoubleByteEntry) == 4, "entries compare as bytes");
  return t.madeFrom[n].sjis == 0 &&
         std::memcmp(t.madeFrom, g_UserDoubleByteTable, sizeof(DoubleByteEntry) * static_cast<size_t>(n)) == 0;
}

const uint16_t* const* PrepareLookup() {
  LookupRows& t = s_Lookup;
  const int n = UserEntryCount();
  if (t.made && MadeFromUserTable(t, n)) return t.row;
  for (int lead = 0; lead < 256; ++lead) {
    t.row[lead] = kDirectTable.sjis + lead * 256;
    t.owner[lead] = 0;
  }
  int owned = 0;
  for (int i = n - 1; i >= 0; --i) {  // the first entry for a code wins
    const DoubleByteEntry& e = g_UserDoubleByteTable[i];
    const int lead = e.host >> 8;
    if (t.owner[lead] == 0) {
      std::memcpy(t.own[owned], t.row[lead], sizeof t.own[owned]);
      t.row[lead] = t.own[owned];
      t.owner[lead] = static_cast<uint8_t>(++owned);
    }
    t.own[t.owner[lead] - 1][e.host & 0xFF] = e.sjis;
  }
  std::memcpy(t.madeFrom, g_UserDoubleByteTable, sizeof(DoubleByteEntry) * static_cast<size_t>(n));
  t.madeFrom[n] = DoubleByteEntry{0, 0};
  t.made = true;
  return t.row;
}

inline unsigned Lookup(unsigned code, const uint16_t* const* rows) {
  return rows[code >> 8][code & 0xFF];
}

// Converts length bytes (any length >= 0 that fits dst) of double-byte codes
// from src into dst and terminates dst. Works in place as well: each pair is
// read before it is written.
int DoubleByteRun(const unsigned char* src, int length, unsigned char* dst,
                  const uint16_t* const* rows) {
  int count = 0;
  const int whole = length & ~1;
  for (int p = 0; p < whole; p += 2) {
    const unsigned code = (static_cast<unsigned>(src[p]) << 8) | src[p + 1];
    const unsigned sjis = Lookup(code, rows);
    if (sjis != 0) {
      dst[p] = static_cast<unsigned char>(sjis >> 8);
      dst[p + 1] = static_cast<unsigned char>(sjis);
    } else {
      dst[p] = g_SubstitutionPair[0];
      dst[p + 1] = g_SubstitutionPair[1];
      ++count;
      DoubleByteError(code);
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
      dst[whole] = g_SubstitutionPair[0];
      ++count;
      DoubleByteError(code);
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

// ---- Tables -------------------------------------------------------------------

int LoadSingleByteTable() {
  char buf[kSettingsBufferSize + 2];
  ReadSection("EBCDIC", buf);
  if (buf[0] == '\0') return 0;
  for (const char* entry = buf; *entry != '\0';) {
    const size_t len = strlen(entry);
    const int code = len >= 4 ? HexValue(entry + 2, 2) : -1;
    if (code >= 0) {
      unsigned char value;
      if (len == 4) {
        value = ' ';
      } else if (entry[4] == '=') {
        value = '=';
      } else {
        // Character 6; for an entry of exactly five characters that is the
        // terminator, so the code becomes unmapped.
        value = static_cast<unsigned char>(entry[5]);
      }
      g_SingleByteTable[code] = value;
    }
    entry += len + 1;
  }
  return 1;
}

void LoadUserDoubleByteTable() {
  char buf[kSettingsBufferSize + 2];
  ReadSection("KANJI", buf);
  int slot = 0;
  for (const char* entry = buf; *entry != '\0';) {
    const size_t len = strlen(entry);
    const int code = len >= 9 ? HexValue(entry + 2, 4) : -1;
    const unsigned char lead = static_cast<unsigned char>(len >= 9 ? entry[7] : 0);
    const unsigned char trail = static_cast<unsigned char>(len >= 9 ? entry[8] : 0);
    if (code == 0xFFFF) {
      g_SubstitutionPair[0] = lead;
      g_SubstitutionPair[1] = trail;
    } else if (code >= 0 && slot < kUserTableSlots - 1) {
      g_UserDoubleByteTable[slot].host = static_cast<uint16_t>(code);
      g_UserDoubleByteTable[slot].sjis = static_cast<uint16_t>(lead << 8 | trail);
      ++slot;
    }
    entry += len + 1;
  }
  g_UserDoubleByteTable[slot].host = 0;
  g_UserDoubleByteTable[slot].sjis = 0;
}

int BuiltInTableSize() { return kBuiltInCount; }

const DoubleByteEntry* BuiltInTable() { return kBuiltInTable; }

unsigned LookupDoubleByte(unsigned code) {
  return Lookup(code & 0xFFFF, PrepareLookup());
}

bool UserTableHasHostCode(unsigned code) {
  for (const DoubleByteEntry* e = g_UserDoubleByteTable; e->sjis != 0; ++e) {
    if (e->host == code) return true;
  }
  return false;
}

// ---- Field decoders -----------------------------------------------------------

int ConvertDoubleByteRun(const char* src, int length, char* dst) {
  return DoubleByteRun(reinterpret_cast<const unsigned char*>(src), Clamp(length, kMaxTextLength),
                       reinterpret_cast<unsigned char*>(dst), PrepareLookup());
}

int ConvertMixedText(char* src, int length, char* dst) {
  int textLength;
  return ConvertMixedTextLength(src, length, dst, &textLength);
}

int ConvertMixedTextLength(char* src, int length, char* dst, int* textLength) {
  // Every source byte gives at most two output bytes, so 2 * 255 bytes and a
  // terminator always fit and the loop needs no bounds checks; the text is
  // cut to 255 bytes at the end. A field of up to 127 bytes cannot give more
  // than 254, so it is written straight into dst.
  unsigned char buffer[2 * kMaxTextLength + 2];
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  length = Clamp(length, kMaxTextLength);
  unsigned char* text = length <= kMaxTextLength / 2 ? reinterpret_cast<unsigned char*>(dst) : buffer;
  int count = 0;
  int o = 0;
  int fits = 0;  // end of the last whole character within 255 bytes
  int i = 0;
  const uint16_t* const* rows = nullptr;  // at the first shift-out: plain text needs none
  bool mayHoldZero = false;
  while (i < length) {
    const unsigned char c = s[i];
    if (c == kShiftOut) {
      if (rows == nullptr) rows = PrepareLookup();
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
      const int substituted = DoubleByteRun(s + i + 1, n, text + o, rows);
      count += substituted;
      mayHoldZero = mayHoldZero || substituted != 0;
      if (o + n <= kMaxTextLength) {
        fits = o + n;
      } else if (o <= kMaxTextLength) {
        fits = o + ((kMaxTextLength - o) & ~1);
      }
      o += n;
      i = next;
      continue;
    }
    // A stretch of single-byte codes, up to the next shift-out. Translated
    // at full speed first, eight codes to a word; only a stretch that holds
    // an unmapped code or a quotation mark is done again code by code
    // (nothing is counted or reported before that).
    const unsigned char* table = g_SingleByteTable;
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
      const int n = end - i;  // at least 1: s[i] is no shift-out
      // Characters of one byte each: the last end within 255 bytes.
      if (o + n <= kMaxTextLength) {
        fits = o + n;
      } else if (o < kMaxTextLength) {
        fits = kMaxTextLength;
      }
      o += n;
      i = end;
      continue;
    }
    for (; i < end; ++i) {
      unsigned char v = table[s[i]];
      if (v == 0) {
        v = ' ';
        ++count;
        SingleByteError(s[i]);
      }
      text[o++] = v;
      if (v == '"') text[o++] = '"';
      if (o <= kMaxTextLength) fits = o;
    }
  }
  // Up to the first zero byte (a zero substitution pair ends the text; no
  // other code gives a zero byte).
  const void* zero = mayHoldZero ? memchr(text, 0, static_cast<size_t>(fits)) : nullptr;
  const int out = zero ? static_cast<int>(static_cast<const unsigned char*>(zero) - text) : fits;
  if (text == buffer) memcpy(dst, text, static_cast<size_t>(out));
  dst[out] = '\0';
  *textLength = out;
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
    if (last && (d == 0xC || d == 0xD || d == 0xF)) {
      dst[o] = '\0';
      // The last byte's high digit is always shown, so first >= 1 and the
      // character before it is a blank.
      if (d == 0xD) dst[first - 1] = '-';
      return invalid;
    }
    put(d);
  }
  dst[o] = '\0';
  return invalid;
}
