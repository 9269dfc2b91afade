#pragma once
// The check of a hand-written field list (fdfmake --check): what is wrong in
// the .fdf, line by line, where the conversion can only say that the list
// is malformed; then, against the image it describes, whether the record
// length fits the image's size and, for each field, how many records hold
// a value that is not valid for its type, so that a list that is a byte off
// shows where the fields start to go wrong.
#include <string>

#include "convert/code_tables.h"

// Checks the description file at fdfPath and, when imagePath is not null,
// the image at imagePath against it. Appends one Shift-JIS line per finding
// to *report (at most 200 lines, then one that counts the rest) and returns
// the number of findings (0: nothing wrong).
//
// The list's findings: a line that is not a PCFL line (a blank line among
// them), extra blanks or a tab among the tokens, a missing token, a type
// that does not exist, a length its type does not allow, a field of 0
// bytes, a name, record, field count or line past its limit, a PCFL line
// before the PCFO line, no PCFO line, no field; each with its line number
// and text. The image is checked only against a list without findings: its
// size against the record length, then for each field the records whose
// value the conversion counts as an error (bad packed or zoned digits or
// signs, a varying length past its field, codes tables does not map, a
// float that is no number) or whose packed or zoned bytes the host would
// not take. At most 131,072 lines of the list are read; the image is read
// as a stream, and at most its first 256 MiB, or 2^26 field values, are
// checked (a line says so).
int CheckFieldListAndImage(const char* fdfPath, const char* imagePath, const CodeTables& tables,
                           std::string* report);
