#include "tests/unit/support/plain_road.h"

#include <cstring>

#include "convert/field_decode.h"
#include "convert/value_format.h"

namespace {

constexpr int kFieldBufferSize = 256;  // a field of up to 255 bytes and its zero

}  // namespace

char* PutFieldPlain(char* o, const FieldDescriptor& field, const char* record,
                    const DecodeContext& with, int32_t* errorTotal) {
  char fieldBuffer[kFieldBufferSize];
  char decoded[kFieldBufferSize];
  std::memcpy(fieldBuffer, record + field.offset, static_cast<size_t>(field.length));
  fieldBuffer[field.length] = '\0';

  int errors;
  switch (field.type) {
    case 'A':
    case 'I':
    case 'Y':
    case 'D':
      errors = ConvertMixedText(fieldBuffer, field.length, decoded, with);
      break;
    case 'W':
      errors = ConvertDoubleByteRun(fieldBuffer, field.length, decoded, with);
      break;
    case '1':
      errors = LooksDoubleByte(reinterpret_cast<const unsigned char*>(fieldBuffer), field.length,
                               *with.tables)
                   ? ConvertDoubleByteRun(fieldBuffer, field.length, decoded, with)
                   : ConvertMixedText(fieldBuffer, field.length, decoded, with);
      break;
    default:
      errors = ConvertPackedDecimal(fieldBuffer, field.length, decoded);
      break;
  }
  decoded[kFieldBufferSize - 1] = '\0';
  AddErrors(errorTotal, errors);

  if (!IsTextType(field.type)) return PutPackedValue(o, field, decoded);
  const int length = TrimBlanks(decoded);
  if (length == 0) return o;
  return PutTextValue(o, field.type, decoded, length);
}

PlainConversion ConvertPlain(const FieldList& list, const std::string& image,
                             const DecodeContext& with) {
  PlainConversion out;
  out.csv = "\"ID\"";
  for (int i = 0; i < list.count; ++i) out.csv += std::string(",\"") + list.fields[i].name + "\"";
  out.csv += "\n";
  const size_t length = static_cast<size_t>(list.recordLength());
  if (length == 0) return out;
  std::vector<char> value(kMaxValueBytes + kFieldBufferSize);
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
