#include "convert/field_decode.h"

#include <cstring>

#include "convert/csv_encoding.h"
#include "convert/host_numbers.h"
#include "convert/unicode_text.h"
#include "convert/value_format.h"

namespace {

constexpr int kDecodedSize = 256;  // decoded text and its terminator

}  // namespace

bool LooksDoubleByte(const unsigned char* bytes, int length, const CodeTables& tables) {
  if (length % 2 != 0) return false;
  if (std::memchr(bytes, 0x0E, static_cast<size_t>(length)) != nullptr) return false;
  for (int k = 0; k < length; k += 2) {
    if (bytes[k] < 0x70) continue;
    if (!UserTableHasHostCode(tables, (static_cast<unsigned>(bytes[k]) << 8) | bytes[k + 1])) {
      return false;
    }
  }
  return true;
}

namespace {

// What the first types' road does with a field: how its bytes are decoded
// (host text or packed) and how its value is marked.
struct Road {
  FieldKind kind;
  ValueMarks marks;
};

Road RoadOf(const FieldType& row, bool utf8) {
  return Road{row.kind, static_cast<ValueMarks>(row.marks | (utf8 ? kMarkForUtf8 : 0))};
}

// The first types' road.
char* PutValue(char* o, const FieldDescriptor& field, Road road, const char* record, const DecodeContext& with,
               int32_t* errorTotal) {
  const FieldKind kind = road.kind;
  const ValueMarks marks = road.marks;
  const char* bytes = record + field.offset;
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(bytes);
  // Text is decoded straight into the row, after the marks that come before
  // it, and trimmed where it stands; the row has room for the decoder's
  // 2 * length + 1 bytes. Packed fields go through the decoded text.
  char decoded[kDecodedSize];
  char* const text = TextStart(o, marks);
  int errors = 0;
  int length = 0;
  bool doubleByte = false;
  switch (kind) {
    case FieldKind::kMixedText:
      errors = ConvertMixedText(bytes, field.length, text, with, &length);
      break;
    case FieldKind::kDoubleByteText:
      doubleByte = true;
      break;
    case FieldKind::kChosenText:
      doubleByte = LooksDoubleByte(raw, field.length, *with.tables);
      if (!doubleByte) errors = ConvertMixedText(bytes, field.length, text, with, &length);
      break;
    default:
      if (char* end = PutPackedFast(o, field, marks, raw)) return end;
      errors = ConvertPackedDecimal(bytes, field.length, decoded);
      break;
  }
  if (doubleByte) {
    errors = ConvertDoubleByteRun(bytes, field.length, text, with);
    // Exactly the field's bytes, unless a substitution pair with a zero byte
    // ended the text early.
    length = field.length;
    const unsigned char* pair = with.tables->substitution;
    if (errors > 0 && (pair[0] == 0 || pair[1] == 0)) length = static_cast<int>(std::strlen(text));
  }
  AddErrors(errorTotal, errors);

  if (!IsHostText(kind)) {
    decoded[kDecodedSize - 1] = '\0';
    return PutPackedValue(o, field, marks, decoded);
  }
  const char* kept;
  length = TrimmedSpan(text, static_cast<size_t>(length), &kept);
  if (length == 0) return o;
  const size_t n = static_cast<size_t>(length);
  if (kept != text) std::memmove(text, kept, n);
  return FinishTextValue(o, marks, text, n);
}

}  // namespace

char* PutClassic(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                 int32_t* errorTotal, bool utf8) {
  return PutValue(o, field, RoadOf(FieldTypeOf(field.type), utf8), record, with, errorTotal);
}

namespace {

inline unsigned BigEndian16(const char* p) {
  return static_cast<unsigned>(static_cast<unsigned char>(p[0])) << 8 | static_cast<unsigned char>(p[1]);
}

// A field of the same type code and decimals as field, whose bytes are
// length bytes at offset 0 of what it is handed: how a zoned or varying
// field takes the road of packed or host text.
FieldDescriptor Twin(const FieldDescriptor& field, int32_t length) {
  FieldDescriptor twin;
  twin.name[0] = '\0';
  twin.type = field.type;
  twin.offset = 0;
  twin.length = length;
  twin.size = length;
  twin.decimals = field.decimals;
  return twin;
}

}  // namespace

char* PutZoned(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
               int32_t* errorTotal, bool utf8) {
  unsigned char packed[kMaxZonedPackedBytes];
  int packedLength = 0;
  const int invalidSign = ZonedToPacked(reinterpret_cast<const unsigned char*>(record + field.offset),
                                        field.length, packed, &packedLength);
  AddErrors(errorTotal, invalidSign);
  const FieldDescriptor twin = Twin(field, packedLength);
  // The road of packed, with the zoned row's marks.
  const Road road{FieldKind::kPacked, RoadOf(FieldTypeOf(field.type), utf8).marks};
  return PutValue(o, twin, road, reinterpret_cast<const char*>(packed), with, errorTotal);
}

char* PutBinary(char* o, const FieldDescriptor& field, const char* record, const DecodeContext&,
                int32_t*, bool) {
  const int64_t v = BinaryValue(reinterpret_cast<const unsigned char*>(record + field.offset), field.length);
  return PutScaledInt64(o, v, field.decimals);
}

char* PutFloatValue(char* o, const FieldDescriptor& field, const char* record, const DecodeContext&,
                    int32_t* errorTotal, bool) {
  if (!PutFloat(&o, reinterpret_cast<const unsigned char*>(record + field.offset), field.length)) {
    AddErrors(errorTotal, 1);
  }
  return o;
}

char* PutHexValue(char* o, const FieldDescriptor& field, const char* record, const DecodeContext&,
                  int32_t*, bool) {
  return PutHex(o, reinterpret_cast<const unsigned char*>(record + field.offset), field.length);
}

char* PutVaryingText(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                     int32_t* errorTotal, bool utf8) {
  const char* at = record + field.offset;
  int32_t used = static_cast<int32_t>(BigEndian16(at));
  if (used > field.length) {
    // A length past the field's room: its bytes, and the fault counted.
    used = field.length;
    AddErrors(errorTotal, 1);
  }
  return PutValue(o, Twin(field, used), RoadOf(FieldTypeOf(field.type), utf8), at + 2, with, errorTotal);
}

char* PutUnicode(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                 int32_t* errorTotal, bool utf8) {
  int errors = 0;
  char* const end = PutUnicodeText(o, reinterpret_cast<const unsigned char*>(record + field.offset),
                                   field.length / 2, utf8, with, &errors);
  AddErrors(errorTotal, errors);
  return end;
}

char* PutVaryingUnicode(char* o, const FieldDescriptor& field, const char* record,
                        const DecodeContext& with, int32_t* errorTotal, bool utf8) {
  const char* at = record + field.offset;
  int units = static_cast<int>(BigEndian16(at));
  if (units > field.length / 2) {
    units = field.length / 2;
    AddErrors(errorTotal, 1);
  }
  int errors = 0;
  char* const end =
      PutUnicodeText(o, reinterpret_cast<const unsigned char*>(at + 2), units, utf8, with, &errors);
  AddErrors(errorTotal, errors);
  return end;
}
