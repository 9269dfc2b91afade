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

// How a host field becomes a field of the list (fdfmake, the layout check
// and the guides' table "From the host's field list"): the row for its data
// type letter as DSPFFD gives it (A O J E G P S B F H L T Z 5), its CCSID
// and whether it is varying. A row without a code is a field no type holds.
enum class HostCcsid : uint8_t { kAny, kUtf16, kUtf8 };  // UTF-16: 1200, 13488; UTF-8: 1208
enum class HostVarying : uint8_t { kFixed, kVarying, kEither };
enum class HostLength : uint8_t {
  kBufferBytes,    // "n": the bytes in the buffer
  kDataBytes,      // "n": the bytes after a varying field's 2-byte length
  kTwiceBytes,     // "2b" or "2b/s": twice the bytes, the decimals
  kDigits,         // "p" or "p/s": the digits, the decimals
  kBytesDecimals,  // "n" or "n/s": the bytes, the decimals
};
struct HostTypeRow {
  const char* hostTypes;  // data type letters of the row
  HostCcsid ccsid;        // kAny: any CCSID the rows before it did not take
  HostVarying varying;
  char code;              // the type code written; 0: refused
  HostLength length;
  const char* what;       // the host field, as the refusal line and the guides name it
};

// The first row for the field, or null when no row names its letter.
const HostTypeRow* HostTypeRowOf(char hostType, int ccsid, bool varying);
const HostTypeRow* HostTypeRows();
int HostTypeRowCount();
// The code a listed type code reads the host's bytes as: the display
// variants of text (1, I, Y, D) and of packed numbers (y, d, unlisted codes)
// give A and 2, every other code itself.
char StoredAs(char code);
