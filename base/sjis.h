#pragma once
// Shift-JIS (code page 932) byte classes and the one way names are compared.
// Every search for a path separator uses the classifier, so that the trail
// byte 0x5C of a character such as 表 (0x95 0x5C) is never taken for a
// backslash.
#include <cstddef>

// 1 when the byte at index is a lead byte, 2 when it is a trail byte,
// otherwise the byte's value (0-255). The walk stops at the terminator: at
// the terminator's index the result is 2 after a complete double-byte
// character, 1 after a lone lead byte, else 0. Past the terminator, or for a
// negative index, the result is 0 unless the text ended in a lead or trail
// byte.
int ClassifySjisByte(const char* text, int index);

// True for a byte in the lead ranges 0x81-0x9F and 0xE0-0xFC.
inline bool IsSjisLeadRange(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// True for a byte that may follow a lead byte: 0x40-0x7E and 0x80-0xFC.
inline bool IsSjisTrailByte(unsigned char c) {
  return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

// True when the last byte of text[0, length) is the lead byte of a character
// the end cuts in two. Reads backwards: a byte outside the lead ranges always
// ends a character, so only the run of lead-range bytes before the end
// counts, and they pair up from its start. The text holds no zero byte.
inline bool EndsInLeadByte(const char* text, size_t length) {
  size_t run = 0;
  while (run < length && IsSjisLeadRange(static_cast<unsigned char>(text[length - 1 - run]))) ++run;
  return run % 2 == 1;
}

inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Names (host members, file names, process names, settings sections and
// keys) compare as Windows compares them: ASCII letters without regard to
// case, every other character exactly. A double-byte character is compared
// whole, both bytes exactly: its trail byte may lie in 0x41-0x5A or
// 0x61-0x7A without being a letter (ア 0x83 0x41 and ヂ 0x83 0x61 differ).
// a is aLength bytes (it may hold a zero byte: it then differs), b runs to
// its terminator.
bool SameName(const char* a, size_t aLength, const char* b);
bool SameName(const char* a, const char* b);
