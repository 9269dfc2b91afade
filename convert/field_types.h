#pragma once
// The one table of field types. Every type code a description file may use
// has a row: what kind of host field it reads, how its length token becomes
// a byte count, how many bytes it takes in the record, how long its CSV
// value can be, and the function that decodes and writes that value. The
// description-file reader, the record pipeline and the tests all read this
// table; a new type is a new row and its put function.
#include <cstddef>
#include <cstdint>

struct FieldDescriptor;
struct DecodeContext;

// Decodes field of record and writes its CSV value at o; returns the
// position after it and adds the field's error count to *errorTotal. utf8:
// the row becomes UTF-8 later (currency marks and Unicode text are marked
// for that step, see csv_encoding.h).
using PutValueFn = char* (*)(char* o, const FieldDescriptor& field, const char* record,
                             const DecodeContext& with, int32_t* errorTotal, bool utf8);

enum class FieldKind : uint8_t {
  kText,     // host text: EBCDIC, double-byte Kanji or both mixed
  kNumber,   // packed, zoned, binary or floating-point numbers
  kBytes,    // bytes shown as they are (hex)
  kUnicode,  // UTF-16 text
};

// How the length token "n" or "n/d" gives the field's byte length.
enum class LengthRule : uint8_t {
  // The first codes: with "/" n / 2 bytes; without it n bytes, or n / 2 for
  // the one-character codes 2, y and d (digits of a packed number).
  kClassic,
  kZonedDigits,  // n digits, one byte each, 1-63
  kBinaryWidth,  // 2, 4 or 8 bytes
  kFloatWidth,   // 4 or 8 bytes
  kBytes,        // n bytes, no decimals
  kEvenBytes,    // n bytes, even (UTF-16 units), no decimals
};

struct FieldType {
  char code;          // the type code; 0 for the row of every unlisted code
  FieldKind kind;
  LengthRule length;
  int32_t maxLength;  // n after the length rule, at most
  int32_t prefix;     // bytes before the field's data: a varying field's length
  // A value takes at most perByte * length + perDecimal * decimals + fixed
  // bytes of its row (its marks included), whatever its bytes hold.
  int32_t perByte;
  int32_t perDecimal;
  int32_t fixed;
  PutValueFn put;
  const char* host;   // the host fields it is for
};

// The row of type code code: its own, or the packed-decimal row that every
// unlisted code takes.
const FieldType& FieldTypeOf(char code);

// Every row, in the order of the guide's table, the unlisted codes' row last.
const FieldType* FieldTypes();
int FieldTypeCount();

// Most bytes the field's value can take in its CSV row.
size_t MaxValueBytes(const FieldDescriptor& field);
