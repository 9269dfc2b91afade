#pragma once
// A settings file's bytes, parsed in memory as the Windows profile functions
// (GetPrivateProfileStringA, GetPrivateProfileSectionA) read such a file, so
// that the file is read once and every build sees what a Windows user sees:
// a line ends at CR or LF; blanks (space, tab, VT, FF and Ctrl+Z) around a
// line, a key and a value are dropped; "[name]" up to the last ']' starts a
// section (its name trimmed too); the lines before the first section form
// the nameless section; the first matching section and the first matching
// key win; section and key names match without regard to ASCII case and
// end at a zero byte, as the wide strings Windows keeps them in do; a
// value in matching double or single quotes loses them; a line starting
// with ';' is a comment to the section read (a key read finds it only by
// its whole name, as Windows does).
#include <string>

// One line of the text. Spans are [begin, end) offsets into it.
struct ProfileLine {
  long start;       // first byte of the line
  long contentEnd;  // where its line end begins
  long next;        // first byte of the next line
  bool blank;
  bool section;
  long nameBegin, nameEnd;    // section name or key name
  long valueBegin, valueEnd;  // valueBegin < 0 when the line has no '='
};

// Parses the line of text (size bytes) starting at pos; false at its end.
bool NextProfileLine(const char* text, long size, long pos, ProfileLine* line);
// The position of the line after the header of the first section named
// section (0 for the nameless section ""), or -1.
long FindProfileSection(const char* text, long size, const char* section);
// The first line of key in the section whose lines start at pos.
bool FindProfileKey(const char* text, long size, long pos, const char* key, ProfileLine* found);
// Length of a span as a zero-terminated text (it ends at a zero byte).
long ProfileTextLength(const char* p, long len);

// The value of key in section, quotes dropped, as the system gives it into
// a buffer that holds it whole; false when the section, the key or its '='
// is missing (the caller's default then applies).
bool ProfileValue(const std::string& text, const char* section, const char* key,
                  std::string* value);
// Every line of section as the system's section read gives it: each entry
// (comments and blank lines left out, a key line as key=value, blanks
// dropped, quotes kept) followed by a zero byte; empty for a missing or
// empty section.
std::string ProfileSection(const std::string& text, const char* section);
// The leading number of a value as GetPrivateProfileIntA takes it: blanks,
// an optional sign, a base prefix (0x, 0o, 0b) and the digits that follow,
// wrapping around 32 bits; 0 when no digit follows.
int ProfileNumber(const char* value);
