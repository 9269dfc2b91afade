#pragma once
// One field of a record decoded and formatted into its row.
#include <cstdint>

#include "convert/decoders.h"
#include "convert/field_list.h"

// Type 1 holds either pure double-byte text or mixed text: it is double-byte
// when its length is even, it holds no shift-out, and every even position
// holds a byte below 0x70 or a host code of the user table.
bool LooksDoubleByte(const unsigned char* bytes, int length, const CodeTables& tables);

// Decodes the field of record (its bytes in place: the decoders read only
// them) and writes its CSV value at o, in Shift-JIS; with utf8 the currency
// mark (a row's kMarkYen) is kYenMark and Unicode text is marked UTF-8, for
// the row's UTF-8 (PutUtf8) to finish. Returns the position after it; adds
// the field's error count to *errorTotal (saturating). The row must have
// MaxValueBytes(field) of room at o.
inline char* PutField(char* o, const FieldDescriptor& field, const char* record,
                      const DecodeContext& with, int32_t* errorTotal, bool utf8 = false) {
  return FieldTypeOf(field.type).put(o, field, record, with, errorTotal, utf8);
}

// The put functions of the type table's rows (field_types.cpp).
char* PutClassic(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                 int32_t* errorTotal, bool utf8);
char* PutZoned(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
               int32_t* errorTotal, bool utf8);
char* PutBinary(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                int32_t* errorTotal, bool utf8);
char* PutFloatValue(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                    int32_t* errorTotal, bool utf8);
char* PutHexValue(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                  int32_t* errorTotal, bool utf8);
char* PutVaryingText(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                     int32_t* errorTotal, bool utf8);
char* PutUnicode(char* o, const FieldDescriptor& field, const char* record, const DecodeContext& with,
                 int32_t* errorTotal, bool utf8);
char* PutVaryingUnicode(char* o, const FieldDescriptor& field, const char* record,
                        const DecodeContext& with, int32_t* errorTotal, bool utf8);

// Adds errors (0 or more) to *total, stopping at INT32_MAX.
inline void AddErrors(int32_t* total, int errors) {
  if (errors > 0) *total = *total > INT32_MAX - errors ? INT32_MAX : *total + errors;
}
