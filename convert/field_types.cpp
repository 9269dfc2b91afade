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

// Row sizes: text gives at most two bytes a byte (doubled quotes) and its
// marks; numbers a digit a half byte (a zoned digit a byte), a zero per
// decimal in front ("0.000123") and sign, point and date marks; Unicode text
// three bytes of UTF-8 for two of UTF-16, and its marks.
constexpr FieldType kTypes[] = {
    // code kind               length rule                maxLength prefix perByte perDecimal fixed put
    {'1', FieldKind::kText, LengthRule::kClassic, kText, 0, 2, 0, 8, PutClassic,
     "text: pure double-byte or mixed, chosen per value"},
    {'A', FieldKind::kText, LengthRule::kClassic, kText, 0, 2, 0, 8, PutClassic,
     "mixed text (DDS O, A; SQL CHAR) in double quotes"},
    {'W', FieldKind::kText, LengthRule::kClassic, kText, 0, 2, 0, 8, PutClassic,
     "double-byte text without shift characters (DDS G, J) in double quotes"},
    {'I', FieldKind::kText, LengthRule::kClassic, kText, 0, 2, 0, 8, PutClassic,
     "mixed text without quotes (codes)"},
    {'Y', FieldKind::kText, LengthRule::kClassic, kText, 0, 2, 0, 8, PutClassic,
     "mixed text after a yen sign (amounts kept as text)"},
    {'D', FieldKind::kText, LengthRule::kClassic, kText, 0, 2, 0, 8, PutClassic,
     "mixed text as a date with slashes"},
    {'2', FieldKind::kNumber, LengthRule::kClassic, kPacked, 0, 2, 1, 8, PutClassic,
     "packed decimal (DDS P; SQL DECIMAL)"},
    {'y', FieldKind::kNumber, LengthRule::kClassic, kPacked, 0, 2, 1, 8, PutClassic,
     "packed decimal after a yen sign"},
    {'d', FieldKind::kNumber, LengthRule::kClassic, kPacked, 0, 2, 1, 8, PutClassic,
     "packed decimal date YYYYMMDD"},
    {'S', FieldKind::kNumber, LengthRule::kZonedDigits, kMaxZonedDigits, 0, 1, 1, 8, PutZoned,
     "zoned decimal (DDS S; SQL NUMERIC)"},
    {'B', FieldKind::kNumber, LengthRule::kBinaryWidth, 8, 0, 0, 1, 28, PutBinary,
     "binary integer (DDS B; SQL SMALLINT, INTEGER, BIGINT)"},
    {'F', FieldKind::kNumber, LengthRule::kFloatWidth, 8, 0, 0, 0, 32, PutFloatValue,
     "floating point (DDS F; SQL REAL, DOUBLE)"},
    {'H', FieldKind::kBytes, LengthRule::kBytes, kText, 0, 2, 0, 0, PutHexValue,
     "bytes as hex (DDS H; SQL CHAR FOR BIT DATA)"},
    {'V', FieldKind::kText, LengthRule::kBytes, kText, 2, 2, 0, 8, PutVaryingText,
     "varying-length text (SQL VARCHAR; DDS A with VARLEN)"},
    {'U', FieldKind::kUnicode, LengthRule::kEvenBytes, kText, 0, 2, 0, 16, PutUnicode,
     "UTF-16 text (SQL GRAPHIC, NCHAR with CCSID 1200 or 13488)"},
    {'N', FieldKind::kUnicode, LengthRule::kEvenBytes, kText - 2, 2, 2, 0, 16, PutVaryingUnicode,
     "varying UTF-16 text (SQL NVARCHAR, VARGRAPHIC with CCSID 1200)"},
    // Every other code: packed decimal, as it always was.
    {'\0', FieldKind::kNumber, LengthRule::kClassic, kPacked, 0, 2, 1, 8, PutClassic,
     "any other code: packed decimal"},
};
constexpr int kTypeCount = static_cast<int>(sizeof kTypes / sizeof kTypes[0]);

// Row of each byte value: one load finds a code's row.
constexpr std::array<uint8_t, 256> MakeIndex() {
  std::array<uint8_t, 256> index{};
  for (int c = 0; c < 256; ++c) index[static_cast<size_t>(c)] = kTypeCount - 1;
  for (int row = 0; row < kTypeCount - 1; ++row) {
    index[static_cast<unsigned char>(kTypes[row].code)] = static_cast<uint8_t>(row);
  }
  return index;
}
constexpr std::array<uint8_t, 256> kIndex = MakeIndex();

}  // namespace

const FieldType& FieldTypeOf(char code) { return kTypes[kIndex[static_cast<unsigned char>(code)]]; }

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
  if (row.kind == FieldKind::kText && row.length == LengthRule::kClassic) {
    return code == 'W' ? 'W' : 'A';
  }
  if (row.kind == FieldKind::kNumber && row.length == LengthRule::kClassic) return '2';
  return code;
}
