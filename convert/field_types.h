#pragma once
// The one table of field types. Every type code a description file may use
// has a row: what kind of host field it reads, how its length token becomes
// a byte count, which type tokens give it, the marks around its value
// (quotes, currency, date), how many bytes it takes in the record, how long
// its CSV value can be, and the function that decodes and writes that value.
// The description-file reader, the record pipeline, the field list check and
// the tests all read this table and switch on no type code; a new type, or a
// variant of one (another mark, a varying form), is a new row and its put
// function.
#include <array>
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

// What a field's bytes are. For the first types (put function PutClassic)
// it also chooses the decoder: the three host text kinds and packed.
enum class FieldKind : uint8_t {
  kMixedText,       // host text, single-byte codes and shift-out runs (ConvertMixedText)
  kDoubleByteText,  // host double-byte codes without shift characters
  kChosenText,      // either of the two, chosen per value (LooksDoubleByte)
  kPacked,          // packed decimal
  kZoned,           // zoned decimal
  kBinary,          // big-endian binary integer
  kFloat,           // big-endian IEEE floating point
  kBytes,           // bytes shown as they are (hex)
  kUnicode,         // UTF-16 text
};

// True for the kinds the host text decoders read.
inline bool IsHostText(FieldKind kind) {
  return kind == FieldKind::kMixedText || kind == FieldKind::kDoubleByteText ||
         kind == FieldKind::kChosenText;
}

// How the length token "n" or "n/d" gives the field's byte length.
enum class LengthRule : uint8_t {
  kClassic,       // the first codes: n bytes, with "/" n / 2
  kPackedDigits,  // as kClassic, but n / 2 also without "/" when the type token is the code alone
  kZonedDigits,   // n digits, one byte each, 1-63
  kBinaryWidth,   // 2, 4 or 8 bytes
  kFloatWidth,    // 4 or 8 bytes
  kBytes,         // n bytes, no decimals
  kEvenBytes,     // n bytes, even (UTF-16 units), no decimals
};

// Which two-character type tokens give a row (a one-character token gives
// the row of its code).
enum class PairToken : uint8_t {
  kNone,
  kEndingInCode,  // a token whose second character is the row's code
  kAnyOther,      // every two-character token no row takes by its second character
};

// Marks of a value, a row's marks column (bits).
using ValueMarks = uint8_t;
// In double quotes always; without it, a text value is quoted only when it
// holds a comma, a double quote or a line end.
constexpr ValueMarks kMarkQuoted = 1;
// A currency mark (a backslash, the yen sign of Japanese fonts) before a
// text value, or before a packed value without decimals.
constexpr ValueMarks kMarkYen = 2;
// A date: a text value with slashes before its last four and last two
// characters; a packed value without decimals YYYYMMDD as Y/MM/DD, nothing
// for 0.
constexpr ValueMarks kMarkDate = 4;
// Not a row's: the row becomes UTF-8 later, so the currency mark is written
// as kYenMark (csv_encoding.h) for that step to make the yen sign.
constexpr ValueMarks kMarkForUtf8 = 8;

struct FieldType {
  char code;          // the type code; 0 for the row of every unlisted code
  FieldKind kind;
  LengthRule length;
  PairToken pair;
  ValueMarks marks;   // what PutClassic, and the puts that reuse its road, write around a value
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

// The rows, and the row number of each byte value (field_types.cpp): one
// load finds a code's row, inline, on the per-field path.
extern const FieldType kFieldTypeRows[];
extern const std::array<uint8_t, 256> kFieldTypeIndex;

// The row of type code code: its own, or the packed-decimal row that every
// unlisted code takes.
inline const FieldType& FieldTypeOf(char code) {
  return kFieldTypeRows[kFieldTypeIndex[static_cast<unsigned char>(code)]];
}

// The type code that a type token of length characters gives: a token of
// one character is the code; one of two characters gives the row whose pair
// column takes its second character. False for a token of any other length.
bool TypeCodeOfToken(const char* token, size_t length, char* code);

// True when code has a row of its own (the unlisted codes share one).
bool IsListedTypeCode(char code);

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
