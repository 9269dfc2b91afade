#pragma once
// The field description file <name>.fdf: lines up to and including the
// first one whose first four characters are "PCFO" (any case) are skipped;
// every further line is a field line "PCFL <name> <type> <length>".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "convert/field_types.h"

// What the host allows in one physical file.
constexpr int kMaxFields = 8000;
constexpr int kMaxRecordLength = 32766;
constexpr int kFieldNameSize = 129;  // names of at most 128 bytes
constexpr int kMaxDecimals = 255;
constexpr int kFdfLineSize = 3000;  // a longer line arrives in pieces, each a line

struct FieldDescriptor {
  char name[kFieldNameSize];
  char type;  // the type code, see field_types.h
  int32_t offset;
  int32_t length;    // n after the length rule: the data's bytes (a varying field's most)
  int32_t decimals;
  int32_t size;      // bytes in the record: length, and the length before a varying field's data
};

struct FieldList {
  std::vector<FieldDescriptor> fields;
  int count = 0;
  int32_t recordLength() const {
    return count > 0 ? fields[count - 1].offset + fields[count - 1].size : 0;
  }
};

// True when the first four characters of line are "PCFO" in any case: the
// line after which the field lines start.
bool StartsWithPcfo(const char* line);

// Why a field line is refused.
enum class FieldLineFault : uint8_t {
  kNone,
  kNotFieldLine,   // its first token is not "PCFL" (a blank line among them)
  kTooFewTokens,   // fewer than keyword, name, type and length
  kNameTooLong,    // a name of more than 128 bytes
  kTypeToken,      // a type token of neither one nor two characters
  kLength,         // a length token the type's row does not allow, decimals outside 0-255
  kRecordTooLong,  // the field ends past 32766 bytes
};

// Reads one field line (its line end removed; the line is cut into its
// tokens in place) into field, which starts at offset.
FieldLineFault ParseFieldLine(char* line, int32_t offset, FieldDescriptor* field);

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
// limit: no PCFO line, no field, a line that is not a valid field line, a
// length token its type's row does not allow, more than 8000 fields, a name
// of more than 128 bytes, decimals outside 0-255, a record over 32766 bytes.
bool ParseFieldList(const char* text, size_t size, FieldList* list);
// The same, read from an open description file.
bool ReadFieldList(FILE* fdf, FieldList* list);

// A description file as a run read it: whether it opened, and whether its
// lines made a valid list. A batch run reads each entry's once and hands it
// to every step that needs it.
struct FieldDescription {
  bool opened = false;
  bool valid = false;
  FieldList list;
};
// Reads the description file at path (a Shift-JIS path).
void ReadFieldDescription(const char* path, FieldDescription* description);

