#pragma once
// Decoders of the host's other number formats, each writing a field's CSV
// value straight into the row: zoned decimal (through the packed form of the
// same digits), big-endian binary integers, IEEE big-endian floating point,
// and bytes shown as hex.
#include <cstdint>

// The longest zoned field: 63 digits, the host's largest precision.
constexpr int kMaxZonedDigits = 63;
// A packed image of 63 digits and a sign.
constexpr int kMaxZonedPackedBytes = 32;

// The packed image of a zoned field of digits bytes (1-63): the low half of
// each byte is a digit, the high half of the last byte the sign (B or D
// negative; A, C, E or F positive). A sign half of any other value is
// positive and counts as one invalid half, the returned count; a digit above
// 9 goes into the packed image as it is, where the packed road counts it as
// it counts a packed field's. packed receives (digits + 2) / 2 bytes, the
// leading half a zero digit when digits is even; *packedLength their count.
int ZonedToPacked(const unsigned char* zoned, int digits, unsigned char* packed, int* packedLength);

// The big-endian two's-complement integer of width 2, 4 or 8 bytes.
int64_t BinaryValue(const unsigned char* bytes, int width);

// The big-endian IEEE 754 value of width 4 (single) or 8 (double) bytes as
// the shortest text that reads back as the same value (std::to_chars). NaN
// and the infinities write nothing and return false (a code error).
bool PutFloat(char** o, const unsigned char* bytes, int width);

// length bytes as 2 * length upper-case hex digits.
char* PutHex(char* o, const unsigned char* bytes, int length);
