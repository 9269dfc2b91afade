#include "convert/code_tables.h"

#include <cstring>
#include <string>

#include "base/sjis.h"
#include "base/text.h"

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

}  // namespace

CodeTables::CodeTables() : singleByte{}, user{}, substitution{} { RebuildLookup(this); }

bool AddSingleByteEntries(const char* section, CodeTables* tables) {
  if (section[0] == '\0') return false;
  for (const char* entry = section; *entry != '\0';) {
    const size_t len = std::strlen(entry);
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
      tables->singleByte[code] = value;
    }
    entry += len + 1;
  }
  return true;
}

void SetUserEntries(const char* section, CodeTables* tables) {
  int slot = 0;
  for (const char* entry = section; *entry != '\0';) {
    const size_t len = std::strlen(entry);
    const int code = len >= 9 ? HexValue(entry + 2, 4) : -1;
    const unsigned char lead = static_cast<unsigned char>(len >= 9 ? entry[7] : 0);
    const unsigned char trail = static_cast<unsigned char>(len >= 9 ? entry[8] : 0);
    if (code == 0xFFFF) {
      tables->substitution[0] = lead;
      tables->substitution[1] = trail;
    } else if (code >= 0 && slot < kUserTableSlots - 1) {
      tables->user[slot].host = static_cast<uint16_t>(code);
      tables->user[slot].sjis = static_cast<uint16_t>(lead << 8 | trail);
      ++slot;
    }
    entry += len + 1;
  }
  tables->user[slot] = DoubleByteEntry{0, 0};
  RebuildLookup(tables);
}

void RebuildLookup(CodeTables* tables) {
  // Entries before the end slot; the table's last slot ends it in any case.
  int n = 0;
  while (n < kUserTableSlots - 1 && tables->user[n].sjis != 0) ++n;
  uint8_t owner[256];  // 0: the built-in row, k: ownRows[k - 1]
  for (int lead = 0; lead < 256; ++lead) {
    tables->rows[lead] = kDirectTable.sjis + lead * 256;
    owner[lead] = 0;
  }
  int owned = 0;
  for (int i = n - 1; i >= 0; --i) {  // the first entry for a code wins
    const DoubleByteEntry& e = tables->user[i];
    const int lead = e.host >> 8;
    if (owner[lead] == 0) {
      std::memcpy(tables->ownRows[owned], tables->rows[lead], sizeof tables->ownRows[owned]);
      tables->rows[lead] = tables->ownRows[owned];
      owner[lead] = static_cast<uint8_t>(++owned);
    }
    tables->ownRows[owner[lead] - 1][e.host & 0xFF] = e.sjis;
  }
}

int LoadSingleByteTable(const Settings& settings, CodeTables* tables) {
  return AddSingleByteEntries(settings.ebcdic.c_str(), tables) ? 1 : 0;
}

void LoadUserDoubleByteTable(const Settings& settings, CodeTables* tables) {
  SetUserEntries(settings.kanji.c_str(), tables);
}

namespace {

// Length of the multi-byte UTF-8 character at p (2 to 4, no overlong form,
// no surrogate), or 0 when p does not start one.
int Utf8SequenceAt(const unsigned char* p) {
  const unsigned c = p[0];
  int n;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  for (int k = 2; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
  }
  return n;
}

// True when value, to its end, is UTF-8 whose first character is a
// multi-byte one longer than slot bytes: one byte of a single-byte value, or
// one Shift-JIS character of two bytes, never is.
bool ReadsAsUtf8(const char* value, int slot) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value);
  if (Utf8SequenceAt(p) <= slot) return false;
  while (*p != '\0') {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const int n = Utf8SequenceAt(p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

bool IsLineBlank(char c) { return c == ' ' || c == '\t'; }

// The next line of text (from *at to end) without its line end and outer
// blanks, as its start and length; false at the end.
bool NextFileLine(const char*& at, const char* end, const char** line, size_t* length) {
  if (at >= end) return false;
  const char* stop = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
  const char* lineEnd = stop != nullptr ? stop : end;
  const char* b = at;
  const char* e = lineEnd;
  at = stop != nullptr ? stop + 1 : end;
  while (e > b && (e[-1] == '\r' || IsLineBlank(e[-1]))) --e;
  while (b < e && IsLineBlank(*b)) ++b;
  *line = b;
  *length = static_cast<size_t>(e - b);
  return true;
}

}  // namespace

bool SettingsAreShiftJis(const char* bytes, size_t size) {
  const unsigned char* head = reinterpret_cast<const unsigned char*>(bytes);
  const bool utf8Bom = size >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
  const bool utf16Bom = size >= 2 && ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF));
  bool shiftJis = !utf8Bom && !utf16Bom;
  const char* at = bytes;
  const char* end = bytes + size;
  const char* line;
  size_t length;
  std::string value;  // the value to its line end, zero-terminated
  int valueIndex = -1;  // of the section's values: 5 in [EBCDIC], 7 in [KANJI]
  while (shiftJis && NextFileLine(at, end, &line, &length)) {
    if (length > 0 && line[0] == '[') {
      std::string name(line + 1, length - 1);
      const size_t close = name.find(']');
      if (close != std::string::npos) name.resize(close);
      valueIndex = SameName(name.c_str(), "EBCDIC") ? 5 : SameName(name.c_str(), "KANJI") ? 7 : -1;
    } else if (valueIndex >= 0 && length > static_cast<size_t>(valueIndex)) {
      value.assign(line + valueIndex, length - static_cast<size_t>(valueIndex));
      shiftJis = !ReadsAsUtf8(value.c_str(), valueIndex == 5 ? 1 : 2);
    }
  }
  return shiftJis;
}

int BuiltInTableSize() { return kBuiltInCount; }

const DoubleByteEntry* BuiltInTable() { return kBuiltInTable; }

bool UserTableHasHostCode(const CodeTables& tables, unsigned code) {
  for (int i = 0; i < kUserTableSlots - 1 && tables.user[i].sjis != 0; ++i) {
    if (tables.user[i].host == code) return true;
  }
  return false;
}
