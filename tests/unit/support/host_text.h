#pragma once
// Host text for the conversion tests: the single-byte codes of host code
// page 930 that the tests' records are made of.
#include "convert/code_tables.h"

// Maps the capitals, the digits, the blank 0x40 and the quotation mark 0x7F
// as examples/Quenvale.ini does.
void AddLetters(CodeTables* tables);

// The host codes of the capitals A-Z, in order.
extern const unsigned char kHostCapitals[26];
