#include "convert/field_types.h"

#include <array>

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
