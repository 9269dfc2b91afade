#include "tests/unit/support/plain_road.h"

#include <algorithm>
#include <cstring>

#include "convert/field_decode.h"
#include "convert/value_format.h"

char* PutFieldPlain(char* o, const FieldDescriptor& field, const char* record,
                    const DecodeContext& with, int32_t* errorTotal) {
  // The types that came later have one road only.
  if (FieldTypeOf(field.type).put != PutClassic) return PutField(o, field, record, with, errorTotal);
  const size_t length = static_cast<size_t>(field.length);
  std::vector<char> fieldBuffer(length + 1);
  std::vector<char> decodedBuffer(2 * length + 256);
  char* const decoded = decodedBuffer.data();
  std::memcpy(fieldBuffer.data(), record + field.offset, length);
  fieldBuffer[length] = '\0';

  const FieldType& row = FieldTypeOf(field.type);
  int errors;
  switch (row.kind) {
    case FieldKind::kMixedText:
      errors = ConvertMixedText(fieldBuffer.data(), field.length, decoded, with);
      break;
    case FieldKind::kDoubleByteText:
      errors = ConvertDoubleByteRun(fieldBuffer.data(), field.length, decoded, with);
      break;
    case FieldKind::kChosenText:
      errors = LooksDoubleByte(reinterpret_cast<const unsigned char*>(fieldBuffer.data()), field.length,
                               *with.tables)
                   ? ConvertDoubleByteRun(fieldBuffer.data(), field.length, decoded, with)
                   : ConvertMixedText(fieldBuffer.data(), field.length, decoded, with);
      break;
    default:
      errors = ConvertPackedDecimal(fieldBuffer.data(), field.length, decoded);
      break;
  }
  decodedBuffer.back() = '\0';
  AddErrors(errorTotal, errors);

  if (!IsHostText(row.kind)) return PutPackedValue(o, field, row.marks, decoded);
  const int trimmed = TrimBlanks(decoded);
  if (trimmed == 0) return o;
  return PutTextValue(o, row.marks, decoded, trimmed);
}

PlainConversion ConvertPlain(const FieldList& list, const std::string& image,
                             const DecodeContext& with) {
  PlainConversion out;
  out.csv = "\"ID\"";
  for (int i = 0; i < list.count; ++i) out.csv += std::string(",\"") + list.fields[i].name + "\"";
  out.csv += "\n";
  const size_t length = static_cast<size_t>(list.recordLength());
  if (length == 0) return out;
  size_t room = 0;
  for (int i = 0; i < list.count; ++i) room = std::max(room, MaxValueBytes(list.fields[i]));
  std::vector<char> value(room + 256);
  for (size_t at = 0; at + length <= image.size(); at += length) {
    with.report->SetRecordsWritten(static_cast<int32_t>(out.records));
    out.csv += std::to_string(out.records + 1);
    for (int i = 0; i < list.count; ++i) {
      out.csv += ',';
      char* end = PutFieldPlain(value.data(), list.fields[i], image.data() + at, with, &out.errorTotal);
      out.csv.append(value.data(), static_cast<size_t>(end - value.data()));
    }
    out.csv += '\n';
    ++out.records;
    if (out.records % 100 == 0) out.totalsEveryHundred.push_back(out.errorTotal);
  }
  out.partialRecord = image.size() % length != 0;
  return out;
}
