#include "convert/code_tables.h"

#include <cstring>

#include "base/sjis.h"
#include "base/text.h"
#include "platform/profile.h"
#include "platform/stream.h"

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

// Reads a settings section: consecutive zero-terminated entries ended by an
// empty one. The two guard bytes after the reader's 3000 keep every walk
// over the entries inside buf whatever the reader delivered.
void ReadSection(const char* section, const char* settingsPath,
                 char (&buf)[kSettingsBufferSize + 2]) {
  buf[0] = '\0';
  buf[kSettingsBufferSize] = '\0';
  buf[kSettingsBufferSize + 1] = '\0';
  ProfileGetSection(section, buf, kSettingsBufferSize, settingsPath);
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

int LoadSingleByteTable(const char* settingsPath, CodeTables* tables) {
  char buf[kSettingsBufferSize + 2];
  ReadSection("EBCDIC", settingsPath, buf);
  return AddSingleByteEntries(buf, tables) ? 1 : 0;
}

void LoadUserDoubleByteTable(const char* settingsPath, CodeTables* tables) {
  char buf[kSettingsBufferSize + 2];
  ReadSection("KANJI", settingsPath, buf);
  SetUserEntries(buf, tables);
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

// One line of the settings file without its line end and outer blanks.
bool NextFileLine(FILE* f, char* line, int size) {
  if (std::fgets(line, size, f) == nullptr) return false;
  size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r' || IsLineBlank(line[n - 1]))) --n;
  line[n] = '\0';
  size_t start = 0;
  while (IsLineBlank(line[start])) ++start;
  std::memmove(line, line + start, n - start + 1);
  return true;
}

}  // namespace

bool SettingsAreShiftJis(const char* settingsPath) {
  // The file's own bytes: the settings reader would have converted them
  // already (on Windows through the system's code page).
  FILE* f = OpenStream(settingsPath, "rb");
  if (f == nullptr) return true;
  unsigned char head[3] = {};
  const size_t n = std::fread(head, 1, sizeof head, f);
  const bool utf8Bom = n == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
  const bool utf16Bom = n >= 2 && ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF));
  bool shiftJis = !utf8Bom && !utf16Bom;
  std::rewind(f);
  char line[kSettingsBufferSize];
  int valueIndex = -1;  // of the section's values: 5 in [EBCDIC], 7 in [KANJI]
  while (shiftJis && NextFileLine(f, line, sizeof line)) {
    if (line[0] == '[') {
      char* close = std::strchr(line, ']');
      if (close != nullptr) *close = '\0';
      valueIndex = SameName(line + 1, "EBCDIC") ? 5 : SameName(line + 1, "KANJI") ? 7 : -1;
    } else if (valueIndex >= 0 && std::strlen(line) > static_cast<size_t>(valueIndex)) {
      shiftJis = !ReadsAsUtf8(line + valueIndex, valueIndex == 5 ? 1 : 2);
    }
  }
  std::fclose(f);
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
