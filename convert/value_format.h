#pragma once
// Formatting a row's values: the CSV form of each type code, written
// straight into the row. Each Put writes at o and returns the position after
// what it wrote; the caller's row has room for the value (MaxValueBytes of
// field_types.h).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "convert/csv_encoding.h"
#include "convert/field_list.h"

// Values are mostly short: copied inline in words of fixed size (overlapping at
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

// v in decimal.
char* PutInt64(char* o, int64_t v);

// A packed field's value from its decoded text: with decimals the number
// scaled ("0." for zero); without, by the marks of its row (field_types.h):
// a date YYYY/MM/DD (nothing for 0), or a yen sign (backslash) before the
// integer, else the integer. Texts of more than 18 characters are written
// digit for digit (a date: nothing).
char* PutPackedValue(char* o, const FieldDescriptor& field, ValueMarks marks, const char* text);
// A number given as its sign and decimal digits (count of them, no leading
// zero; none for zero) as a packed field of those digits writes it: with
// decimals the number scaled ("0." for zero), else the integer.
char* PutDecimalNumber(char* o, bool negative, const char* digits, int count, int decimals);
// v with decimals, the same way.
char* PutScaledInt64(char* o, int64_t v, int decimals);
// The usual packed field straight from its bytes (every nibble a digit, a
// sign C, D or F at the end): what PutPackedValue writes for its decoded
// text; null (nothing written) for any other field.
char* PutPackedFast(char* o, const FieldDescriptor& field, ValueMarks marks, const unsigned char* bytes);

// The currency mark of a value of those marks.
inline char YenMark(ValueMarks marks) { return (marks & kMarkForUtf8) ? kYenMark : '\\'; }

// Where a text value of those marks starts in its column at o: after the
// marks that come before it (the opening quote, the currency mark).
inline char* TextStart(char* o, ValueMarks marks) {
  return o + ((marks & kMarkQuoted) != 0) + ((marks & kMarkYen) != 0);
}
// Finishes a text value of n bytes (n >= 1) that stands at TextStart(o,
// marks): its marks, a date's slashes, and double quotes, around any value
// of a quoted row and around any other that holds a comma, a double quote or
// a line end (which would otherwise shift the row's columns). Returns the
// position after it.
char* FinishTextValue(char* o, ValueMarks marks, char* text, size_t n);
// The same for text that stands elsewhere: copied to its place first.
char* PutTextValue(char* o, ValueMarks marks, const char* text, int length);

// Blanks (ASCII and full-width) at both ends of text (length bytes, then a
// zero byte), found without moving the text: *start receives the first kept
// byte, the result is the kept length. A cut never lands inside a character.
int TrimmedSpan(const char* text, size_t length, const char** start);
// Trims ASCII and full-width blanks in place; returns the new length.
int TrimBlanks(char* text);
// Reads a 64-bit integer from text with separators, a currency backslash and
// quotes (at most 29 characters are read); saturates.
int64_t TextToInt64(const char* text);
