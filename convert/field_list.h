#pragma once
// The field description file <name>.fdf: lines up to and including the
// first one whose first four characters are "PCFO" (any case) are skipped;
// every further line is a field line "PCFL <name> <type> <length>".
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int kMaxFields = 100;
constexpr int kFieldNameSize = 50;  // names of at most 49 bytes
constexpr int kMaxFieldLength = 255;
constexpr int kMaxDecimals = 255;
constexpr int kMaxRecordLength = 3000;
constexpr int kFdfLineSize = 3000;  // a longer line arrives in pieces, each a line

struct FieldDescriptor {
  char name[kFieldNameSize];
  char type;  // the type code: text 1 A W I Y D, anything else packed
  int32_t offset;
  int32_t length;
  int32_t decimals;
};

struct FieldList {
  FieldDescriptor fields[kMaxFields];
  int count;
  int32_t recordLength() const {
    return count > 0 ? fields[count - 1].offset + fields[count - 1].length : 0;
  }
};

// Reads the field list line by line, as a file gives its lines (each at most
// kFdfLineSize - 1 bytes, its line feed still on it).
class FieldListReader {
 public:
  explicit FieldListReader(FieldList* list);
  // False once the lines break the format or a limit: then no further line
  // is looked at.
  bool AddLine(char* line);
  // True when the lines read make a valid list: a PCFO line, then at least
  // one field and nothing that broke the format.
  bool Finish() const;

 private:
  FieldList* list_;
  bool started_ = false;
  bool broken_ = false;
};

// The whole description file in memory, cut into lines as a file read with
// kFdfLineSize-byte lines would be. False when it breaks the format or a
// limit: no PCFO line, no field, a line that is not a valid field line,
// more than 100 fields, a name of 50 bytes or more, a byte length outside
// 0-255, decimals outside 0-255, a record over 3000 bytes.
bool ParseFieldList(const char* text, size_t size, FieldList* list);
// The same, read from an open description file.
bool ReadFieldList(FILE* fdf, FieldList* list);

// Type codes of text fields; every other code is packed decimal.
inline bool IsTextType(char type) {
  return type == '1' || type == 'A' || type == 'W' || type == 'I' || type == 'Y' || type == 'D';
}
