#pragma once
// The plain road of a field's value, kept by the tests as the yardstick of
// the product's fast one (PutField, toCSV's rows): the field copied into a
// zero-terminated buffer, decoded by the decoders into a separate buffer, the text trimmed with TrimBlanks, then written with
// PutPackedValue or PutTextValue. Nothing of it is fast; all of it is
// obvious.
#include <cstdint>
#include <string>
#include <vector>

#include "convert/decoders.h"
#include "convert/field_list.h"

// Decodes the field of record the plain way and writes its CSV value at o
// (room for MaxValueBytes(field) and a margin of 256 bytes). Types other
// than the classic ones take the product's road, which is their only one. Returns the position
// after it; adds the decoder's error count to *errorTotal (saturating).
char* PutFieldPlain(char* o, const FieldDescriptor& field, const char* record,
                    const DecodeContext& with, int32_t* errorTotal);

// A whole image converted the plain way, record by record: the header row,
// then the row number, and "," and PutFieldPlain for every field, and "\n".
// Records past the last whole one are left out.
struct PlainConversion {
  std::string csv;          // with "\n" line ends
  int32_t errorTotal = 0;   // the error total after the last record
  int64_t records = 0;      // rows written
  bool partialRecord = false;  // the image ended inside a record
  // The error total after every 100th record, as the status shows it.
  std::vector<int32_t> totalsEveryHundred;
};

// report is started by the caller (its name and its rows file); the plain
// road tells it the records written before each record, as toCSV does.
PlainConversion ConvertPlain(const FieldList& list, const std::string& image,
                             const DecodeContext& with);
