#pragma once
// Host code conversion: the code tables, the substitution pair, the
// conversion counters, the code error report, and the three field decoders
// that turn host field bytes into Shift-JIS text.
#include <cstdint>
#include <cstdio>

// ---- Tables -------------------------------------------------------------

struct DoubleByteEntry {
  uint16_t host;  // host double-byte code
  uint16_t sjis;  // Shift-JIS code, lead byte high
};

constexpr int kUserTableSlots = 100;  // 99 entries and the end slot {0, 0}

// Host byte -> PC byte; 0 means unmapped. Filled only by LoadSingleByteTable.
extern unsigned char g_SingleByteTable[256];
// Entries in settings order, ended by the first slot whose sjis is 0.
extern DoubleByteEntry g_UserDoubleByteTable[kUserTableSlots];
// Written in place of a double-byte character that no table converts.
extern unsigned char g_SubstitutionPair[2];

// Fills the single-byte table from settings section EBCDIC. 0 when the
// section delivers no entry (the table is left as it was), otherwise 1.
// An entry shorter than four characters, or whose characters 3 and 4 are
// not hexadecimal digits, names no host byte and is skipped.
int LoadSingleByteTable();
// Rebuilds the user double-byte table (and, through an FFFF entry, the
// substitution pair) from settings section KANJI. An entry shorter than nine
// characters, or whose characters 3 to 6 are not hexadecimal digits, is
// skipped. Entries beyond the 99 that fit are ignored (FFFF entries take no
// slot and still count).
void LoadUserDoubleByteTable();
// Number of entries of the built-in double-byte table (7265).
int BuiltInTableSize();
// The built-in table itself, ascending by host code.
const DoubleByteEntry* BuiltInTable();
// Looks code up in the user table, then the built-in table. Returns the
// Shift-JIS code, or 0 when neither has it.
unsigned LookupDoubleByte(unsigned code);
// True when the user table (up to its end slot) holds host code code.
bool UserTableHasHostCode(unsigned code);

// ---- Per-file state (set by the file conversion) -------------------------

constexpr int kCurrentFileNameSize = 256;
constexpr int kCodeErrorRowLimit = 100;

extern int32_t g_RecordCounter;     // records of the current file already written
extern int32_t g_DoubleByteErrors;  // characters replaced by the substitution pair
extern int32_t g_SingleByteErrors;  // single-byte codes the table does not map
extern char g_CurrentFileName[kCurrentFileNameSize];
extern FILE* g_CodeErrorReport;     // CodeErr.csv while open (single-file mode)

// ---- Field decoders -------------------------------------------------------
// Each takes a copy of the field's bytes followed by a zero byte and a
// separate destination of at least 256 bytes, writes zero-terminated
// Shift-JIS text of at most 255 bytes and returns its count of errors.
// Lengths outside the documented ranges are clamped (below 0 to 0, above the
// maximum to the maximum), never overrun. Nothing is allocated.

// length 0-255: writes exactly length bytes and a zero byte; returns the
// characters that got the substitution pair. An odd length pairs the last
// byte with the zero byte after the field (taken as 0, not read).
int ConvertDoubleByteRun(const char* src, int length, char* dst);
// length 0-255. A shift-out run with an odd byte count loses its last byte.
// Returns unconvertible codes, single-byte and double-byte together. Doubled
// quotation marks can make the text longer than the field: it is then cut
// after the last whole character (never half a pair or half a doubled quote)
// that fits in 255 bytes, while every code of the field is still converted,
// counted and reported. src is not written to.
int ConvertMixedText(char* src, int length, char* dst);
// ConvertMixedText that also gives the length of the text it wrote.
int ConvertMixedTextLength(char* src, int length, char* dst, int* textLength);
// length 0-127; returns the nibbles that are not decimal digits.
int ConvertPackedDecimal(const char* src, int length, char* dst);
