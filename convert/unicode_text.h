#pragma once
// Host Unicode text (UTF-16 big-endian: GRAPHIC and NCHAR fields of CCSID
// 1200 or 13488) written as a CSV value: in double quotes, quotes doubled,
// trailing blanks (U+0020, U+3000) left out. For a Shift-JIS file each
// character is mapped as iconv's CP932 maps it, and a character Shift-JIS
// cannot show gets the substitution pair and counts as a double-byte error;
// for a UTF-8 file every character is kept exactly.
#include "convert/decoders.h"

// The code page 932 form of code point cp: a single byte, or lead << 8 |
// trail; 0 when the code page has none.
unsigned Cp932OfCodePoint(unsigned cp);

// Writes the value of units UTF-16 code units at bytes at o and returns the
// position after it; nothing for a value of blanks only. utf8: the text
// goes into the row already in UTF-8, marked for the row's UTF-8 step (see
// csv_encoding.h). A surrogate without its partner counts as an error and
// becomes U+FFFD (UTF-8) or the substitution pair. A U+0000 character is a
// blank (so zero padding is trimmed and no zero byte reaches the file).
// *errors receives the count. The row needs 3 * units + 8 bytes at o.
char* PutUnicodeText(char* o, const unsigned char* bytes, int units, bool utf8,
                     const DecodeContext& with, int* errors);
