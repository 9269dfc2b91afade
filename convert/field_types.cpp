#include "convert/field_types.h"

#include <array>
#include <cstring>

#include "convert/decoders.h"
#include "convert/field_decode.h"
#include "convert/field_list.h"
#include "convert/host_numbers.h"

namespace {

constexpr int32_t kText = kMaxTextFieldLength;
// A packed field's bytes as the first versions took them; its decoder reads
// at most 127 of them.
constexpr int32_t kPacked = 255;

constexpr FieldKind kMixed = FieldKind::kMixedText;
constexpr LengthRule kClassic = LengthRule::kClassic;
constexpr LengthRule kDigits = LengthRule::kPackedDigits;
constexpr PairToken kOnly = PairToken::kNone;

}  // namespace

// Row sizes: text gives at most two bytes a byte (doubled quotes) and its
// marks; numbers a digit a half byte (a zoned digit a byte), a zero per
// decimal in front ("0.000123") and sign, point and date marks; Unicode text
// three bytes of UTF-8 for two of UTF-16, and its marks.
constexpr FieldType kFieldTypeRows[] = {
    // code kind length rule pair tokens marks maxLength prefix perByte perDecimal fixed put
    {'1', FieldKind::kChosenText, kClassic, PairToken::kAnyOther, kMarkQuoted, kText, 0, 2, 0, 8, PutClassic,
     "text: pure double-byte or mixed, chosen per value"},
    {'A', kMixed, kClassic, kOnly, kMarkQuoted, kText, 0, 2, 0, 8, PutClassic,
     "mixed text (DDS O, A; SQL CHAR) in double quotes"},
    {'W', FieldKind::kDoubleByteText, kClassic, kOnly, kMarkQuoted, kText, 0, 2, 0, 8, PutClassic,
     "double-byte text without shift characters (DDS G, J) in double quotes"},
    {'I', kMixed, kClassic, kOnly, 0, kText, 0, 2, 0, 8, PutClassic,
     "mixed text without quotes (codes)"},
    {'Y', kMixed, kClassic, kOnly, kMarkYen, kText, 0, 2, 0, 8, PutClassic,
     "mixed text after a yen sign (amounts kept as text)"},
    {'D', kMixed, kClassic, kOnly, kMarkDate, kText, 0, 2, 0, 8, PutClassic,
     "mixed text as a date with slashes"},
    {'2', FieldKind::kPacked, kDigits, PairToken::kEndingInCode, 0, kPacked, 0, 2, 1, 8, PutClassic,
     "packed decimal (DDS P; SQL DECIMAL)"},
    {'y', FieldKind::kPacked, kDigits, kOnly, kMarkYen, kPacked, 0, 2, 1, 8, PutClassic,
     "packed decimal after a yen sign"},
    {'d', FieldKind::kPacked, kDigits, kOnly, kMarkDate, kPacked, 0, 2, 1, 8, PutClassic,
     "packed decimal date YYYYMMDD"},
    {'S', FieldKind::kZoned, LengthRule::kZonedDigits, kOnly, 0, kMaxZonedDigits, 0, 1, 1, 8, PutZoned,
     "zoned decimal (DDS S; SQL NUMERIC)"},
    {'B', FieldKind::kBinary, LengthRule::kBinaryWidth, kOnly, 0, 8, 0, 0, 1, 28, PutBinary,
     "binary integer (DDS B; SQL SMALLINT, INTEGER, BIGINT)"},
    {'F', FieldKind::kFloat, LengthRule::kFloatWidth, kOnly, 0, 8, 0, 0, 0, 32, PutFloatValue,
     "floating point (DDS F; SQL REAL, DOUBLE)"},
    {'H', FieldKind::kBytes, LengthRule::kBytes, kOnly, 0, kText, 0, 2, 0, 0, PutHexValue,
     "bytes as hex (DDS H; SQL CHAR FOR BIT DATA)"},
    {'V', kMixed, LengthRule::kBytes, kOnly, kMarkQuoted, kText, 2, 2, 0, 8, PutVaryingText,
     "varying-length text (SQL VARCHAR; DDS A with VARLEN)"},
    {'U', FieldKind::kUnicode, LengthRule::kEvenBytes, kOnly, 0, kText, 0, 2, 0, 16, PutUnicode,
     "UTF-16 text (SQL GRAPHIC, NCHAR with CCSID 1200 or 13488)"},
    {'N', FieldKind::kUnicode, LengthRule::kEvenBytes, kOnly, 0, kText - 2, 2, 2, 0, 16, PutVaryingUnicode,
     "varying UTF-16 text (SQL NVARCHAR, VARGRAPHIC with CCSID 1200)"},
    // Every other code: packed decimal, as it always was.
    {'\0', FieldKind::kPacked, kClassic, kOnly, 0, kPacked, 0, 2, 1, 8, PutClassic,
     "any other code: packed decimal"},
};

namespace {

constexpr const FieldType* kTypes = kFieldTypeRows;
constexpr int kTypeCount = static_cast<int>(sizeof kFieldTypeRows / sizeof kFieldTypeRows[0]);

// Row of each byte value.
constexpr std::array<uint8_t, 256> MakeIndex() {
  std::array<uint8_t, 256> index{};
  for (int c = 0; c < 256; ++c) index[static_cast<size_t>(c)] = kTypeCount - 1;
  for (int row = 0; row < kTypeCount - 1; ++row) {
    index[static_cast<unsigned char>(kTypes[row].code)] = static_cast<uint8_t>(row);
  }
  return index;
}

// The type code of each two-character token's second character.
constexpr std::array<char, 256> MakePairCodes() {
  std::array<char, 256> codes{};
  for (const FieldType& row : kFieldTypeRows) {
    if (row.pair != PairToken::kAnyOther) continue;
    for (char& code : codes) code = row.code;
  }
  for (const FieldType& row : kFieldTypeRows) {
    if (row.pair == PairToken::kEndingInCode) codes[static_cast<unsigned char>(row.code)] = row.code;
  }
  return codes;
}
constexpr std::array<char, 256> kPairCodes = MakePairCodes();

}  // namespace

constexpr std::array<uint8_t, 256> kFieldTypeIndex = MakeIndex();

bool TypeCodeOfToken(const char* token, size_t length, char* code) {
  if (length == 1) {
    *code = token[0];
  } else if (length == 2) {
    *code = kPairCodes[static_cast<unsigned char>(token[1])];
  } else {
    return false;
  }
  return true;
}

bool IsListedTypeCode(char code) { return code != '\0' && FieldTypeOf(code).code == code; }

const FieldType* FieldTypes() { return kTypes; }
int FieldTypeCount() { return kTypeCount; }

size_t MaxValueBytes(const FieldDescriptor& field) {
  const FieldType& row = FieldTypeOf(field.type);
  return static_cast<size_t>(row.perByte) * static_cast<size_t>(field.length) +
         static_cast<size_t>(row.perDecimal) * static_cast<size_t>(field.decimals) +
         static_cast<size_t>(row.fixed);
}

namespace {

constexpr HostTypeRow kHostTypes[] = {
    {"AOJE", HostCcsid::kUtf8, HostVarying::kEither, '\0', HostLength::kBufferBytes,
     "UTF-8 text (CCSID 1208)"},
    {"AOJE", HostCcsid::kAny, HostVarying::kFixed, 'A', HostLength::kBufferBytes, "text"},
    {"AOJE", HostCcsid::kAny, HostVarying::kVarying, 'V', HostLength::kDataBytes, "varying text"},
    {"G", HostCcsid::kUtf16, HostVarying::kFixed, 'U', HostLength::kBufferBytes, "UTF-16 graphic"},
    {"G", HostCcsid::kUtf16, HostVarying::kVarying, 'N', HostLength::kDataBytes,
     "varying UTF-16 graphic"},
    {"G", HostCcsid::kAny, HostVarying::kFixed, 'W', HostLength::kBufferBytes, "DBCS graphic"},
    {"G", HostCcsid::kAny, HostVarying::kVarying, '\0', HostLength::kDataBytes,
     "varying DBCS graphic (VARGRAPHIC)"},
    {"P", HostCcsid::kAny, HostVarying::kFixed, '2', HostLength::kTwiceBytes, "packed decimal"},
    {"S", HostCcsid::kAny, HostVarying::kFixed, 'S', HostLength::kDigits, "zoned decimal"},
    {"B", HostCcsid::kAny, HostVarying::kFixed, 'B', HostLength::kBytesDecimals, "binary"},
    {"F", HostCcsid::kAny, HostVarying::kFixed, 'F', HostLength::kBufferBytes, "floating point"},
    {"H", HostCcsid::kAny, HostVarying::kFixed, 'H', HostLength::kBufferBytes, "hex"},
    {"H", HostCcsid::kAny, HostVarying::kVarying, '\0', HostLength::kDataBytes,
     "varying hex or binary (VARBINARY)"},
    {"LTZ", HostCcsid::kAny, HostVarying::kFixed, 'A', HostLength::kBufferBytes,
     "date, time, timestamp"},
};
constexpr int kHostTypeCount = static_cast<int>(sizeof kHostTypes / sizeof kHostTypes[0]);

bool CcsidFits(HostCcsid rule, int ccsid) {
  switch (rule) {
    case HostCcsid::kUtf16:
      return ccsid == 1200 || ccsid == 13488;
    case HostCcsid::kUtf8:
      return ccsid == 1208;
    case HostCcsid::kAny:
      break;
  }
  return true;
}

}  // namespace

const HostTypeRow* HostTypeRowOf(char hostType, int ccsid, bool varying) {
  if (hostType == '\0') return nullptr;
  for (const HostTypeRow& row : kHostTypes) {
    if (std::strchr(row.hostTypes, hostType) == nullptr || !CcsidFits(row.ccsid, ccsid)) continue;
    if (row.varying == HostVarying::kEither || (row.varying == HostVarying::kVarying) == varying) {
      return &row;
    }
  }
  return nullptr;
}

const HostTypeRow* HostTypeRows() { return kHostTypes; }
int HostTypeRowCount() { return kHostTypeCount; }

char StoredAs(char code) {
  const FieldType& row = FieldTypeOf(code);
  if (IsHostText(row.kind) && row.length == LengthRule::kClassic) return code == 'W' ? 'W' : 'A';
  if (row.kind == FieldKind::kPacked &&
      (row.length == LengthRule::kClassic || row.length == LengthRule::kPackedDigits)) {
    return '2';
  }
  return code;
}
