#include "convert/field_decode.h"

#include <cstring>

#include "convert/csv_encoding.h"
#include "convert/value_format.h"

namespace {

constexpr int kDecodedSize = 256;  // decoded text and its terminator

// Marks the currency mark of a Y or y value, the backslash that opens it
// (after the quote of a quoted Y), with a zero byte, which no value's text
// holds: the UTF-8 of the row turns it into the yen sign.
void MarkYen(char* o, const char* end, char type) {
  if (end == o) return;
  if (type == 'y' && o[0] == '\\') {
    o[0] = kYenMark;
  } else if (type == 'Y') {
    o[o[0] == '"' ? 1 : 0] = kYenMark;
  }
}

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

char* PutValue(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
               int32_t* errorTotal) {
  const char* bytes = record + field.offset;
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(bytes);
  // Text is decoded straight into the row, after the mark that comes before
  // it, and trimmed where it stands; the row's margin holds the decoder's
  // 256 bytes. Packed fields go through the decoded text.
  char decoded[kDecodedSize];
  char* const text = TextStart(o, field.type);
  int errors = 0;
  int length = 0;
  bool doubleByte = false;
  switch (field.type) {
    case 'A':
    case 'I':
    case 'Y':
    case 'D':
      errors = ConvertMixedText(bytes, field.length, text, with, &length);
      break;
    case 'W':
      doubleByte = true;
      break;
    case '1':
      doubleByte = LooksDoubleByte(raw, field.length, *with.tables);
      if (!doubleByte) errors = ConvertMixedText(bytes, field.length, text, with, &length);
      break;
    default:
      if (char* end = PutPackedFast(o, field, raw)) return end;
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

  if (!IsTextType(field.type)) {
    decoded[kDecodedSize - 1] = '\0';
    return PutPackedValue(o, field, decoded);
  }
  const char* kept;
  length = TrimmedSpan(text, static_cast<size_t>(length), &kept);
  if (length == 0) return o;
  const size_t n = static_cast<size_t>(length);
  if (kept != text) std::memmove(text, kept, n);
  return FinishTextValue(o, field.type, text, n);
}

}  // namespace

char* PutField(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
               int32_t* errorTotal, bool utf8) {
  char* const end = PutValue(o, field, record, with, errorTotal);
  if (utf8) MarkYen(o, end, field.type);
  return end;
}
