#pragma once
// Conversions between the program's Shift-JIS (code page 932) and the
// encodings of a POSIX system: UTF-8 for file names, the locale's code set
// for the terminal. Internal to the POSIX layer.
#include <cstddef>

// Converts zero-terminated text; false (and out emptied) when it does not fit
// or cannot be converted. Bytes that have no counterpart are not guessed.
bool SjisToUtf8(const char* in, char* out, size_t outSize);
bool Utf8ToSjis(const char* in, char* out, size_t outSize);

// Converts Shift-JIS text for the terminal (the locale's code set; UTF-8 when
// the locale names none). Unconvertible bytes become '?'. Always terminates.
void SjisToTerminal(const char* in, char* out, size_t outSize);
