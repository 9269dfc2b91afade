#pragma once
// The encoding of the CSV files: Shift-JIS as the program has always written
// them, or the same text in UTF-8 (settings key CsvEncoding), character by
// character as Windows code page 932 maps it. Every other file the program
// writes stays Shift-JIS.
#include <cstddef>

enum class CsvEncoding { kShiftJis, kUtf8, kUtf8Bom, kInvalid };

// The setting's value: empty or "Shift_JIS", "UTF-8", "UTF-8-BOM" (ASCII
// letters in any case); anything else is kInvalid.
CsvEncoding CsvEncodingOf(const char* value);

// A byte of Shift-JIS gives at most three of UTF-8.
constexpr size_t kUtf8Growth = 3;

// The currency mark of types Y and y in a row that is to become UTF-8: a
// zero byte, which no value's text holds. In Shift-JIS the mark is 0x5C,
// which Japanese fonts show as a yen sign; its UTF-8 is U+00A5, the yen sign
// its readers mean, where the code page's 0x5C is the backslash U+005C.
constexpr char kYenMark = '\0';

// Text already in UTF-8 (a Unicode field's value) stands in such a row
// between two zero bytes and one zero byte, and is copied as it is. A
// currency mark is never followed by a zero byte (its value's text or
// number follows), and UTF-8 text of a value holds none.
inline char* PutRawUtf8Open(char* o) {
  o[0] = '\0';
  o[1] = '\0';
  return o + 2;
}
inline char* PutRawUtf8Close(char* o) {
  *o = '\0';
  return o + 1;
}

// Writes the UTF-8 form of the Shift-JIS text [sjis, sjis + length) at out
// and returns the position after it; out needs kUtf8Growth * length bytes
// and 8 more. A byte or pair the code page maps to nothing (a lone lead
// byte, an unassigned code, 0x80, 0xA0, 0xFD-0xFF) becomes U+FFFD; kYenMark
// becomes U+00A5; marked UTF-8 text is copied.
char* PutUtf8(char* out, const char* sjis, size_t length);
// The same for a block of rows, as the CSV's writer takes it.
size_t Utf8Block(const char* sjis, size_t length, char* out);

// The byte-order mark written first in a UTF-8-BOM file.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
