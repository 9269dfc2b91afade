#pragma once
// The code tables of a run: the single-byte table and the user double-byte
// table from the settings sections [EBCDIC] and [KANJI], the substitution
// pair, and the built-in double-byte table (IBM code page 300 to 943,
// constant data). Built once before the first conversion, then only read by
// the decoders, which take them as an argument.
#include <cstddef>
#include <cstdint>

#include "base/settings.h"

struct DoubleByteEntry {
  uint16_t host;  // host double-byte code
  uint16_t sjis;  // Shift-JIS code, lead byte high
};

constexpr int kUserTableSlots = 100;  // 99 entries and the end slot {0, 0}

struct CodeTables {
  CodeTables();
  CodeTables(const CodeTables&) = delete;  // rows point into the object itself
  CodeTables& operator=(const CodeTables&) = delete;

  // Host byte -> PC byte; 0 means unmapped.
  unsigned char singleByte[256];
  // Entries in settings order, ended by the first slot whose sjis is 0.
  DoubleByteEntry user[kUserTableSlots];
  // Written in place of a double-byte character that no table converts.
  unsigned char substitution[2];

  // The double-byte lookup as rows of 256 codes by lead byte: the built-in
  // table's rows and, for each lead byte the user table holds, a copy of its
  // row with the user's entries laid over it (the first entry for a code
  // winning). A lookup is then one load, whoever defines the code. Made by
  // SetUserEntries, or RebuildLookup after the user table is changed in place.
  const uint16_t* rows[256];
  uint16_t ownRows[kUserTableSlots][256];
};

// Adds the entries of an [EBCDIC] section (zero-terminated entries ended by
// an empty one) to the single-byte table: host code from characters 3 and 4
// (hex), the PC byte character 6, a blank for an entry of four characters,
// '=' when character 5 is '='. A later entry for a code replaces an earlier
// one; an entry shorter than four characters or with characters 3 and 4 not
// hex digits names no code and is skipped. False, the table untouched, when
// the section has no entry.
bool AddSingleByteEntries(const char* section, CodeTables* tables);

// Rebuilds the user table from a [KANJI] section: host code from characters
// 3 to 6 (hex), the Shift-JIS bytes characters 8 and 9; host code FFFF sets
// the substitution pair instead of a slot. Entries shorter than nine
// characters or with non-hex digits are skipped, entries beyond the 99 that
// fit ignored. Then makes the lookup anew.
void SetUserEntries(const char* section, CodeTables* tables);

// Makes the lookup rows anew from the user table as it stands.
void RebuildLookup(CodeTables* tables);

// The run's [EBCDIC] and [KANJI] sections read into the tables, whole:
// LoadSingleByteTable returns 0 when [EBCDIC] has no entry, else 1.
int LoadSingleByteTable(const Settings& settings, CodeTables* tables);
void LoadUserDoubleByteTable(const Settings& settings, CodeTables* tables);

// False when the settings file (its bytes, size of them) was saved in another encoding than
// Shift-JIS: it starts with a UTF-8 or UTF-16 byte-order mark, or a value
// of [EBCDIC] (from character 6) or [KANJI] (from character 8) reads as
// UTF-8 text whose first character is wider than the value's slot (one
// byte, two bytes). Such a file would convert every half-width katakana to
// ＝ and 髙 to 鬮 without a word: its tables must not be used. A Shift-JIS
// file never trips this: one byte, or one two-byte Shift-JIS character, is
// never such a UTF-8 character.
bool SettingsAreShiftJis(const char* bytes, size_t size);

// Number of entries of the built-in double-byte table (7265).
int BuiltInTableSize();
// The built-in table itself, ascending by host code.
const DoubleByteEntry* BuiltInTable();

// Looks code up in the user table, then the built-in table: the Shift-JIS
// code, or 0 when neither has it.
inline unsigned LookupDoubleByte(const CodeTables& tables, unsigned code) {
  return tables.rows[(code >> 8) & 0xFF][code & 0xFF];
}

// True when the user table (up to its end slot) holds host code code.
bool UserTableHasHostCode(const CodeTables& tables, unsigned code);
