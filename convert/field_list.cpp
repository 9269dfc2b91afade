#include "convert/field_list.h"

#include <cstring>

#include "platform/stream.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal integer as the C library reads one: leading blanks, an optional
// sign, digits up to the first other character; no digits give 0. Saturates
// far outside every range a description file may use.
int32_t ReadInt(const char* p) {
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v < 1000000000) v = v * 10 + (*p - '0');
    ++p;
  }
  return static_cast<int32_t>(negative ? -v : v);
}

}  // namespace

bool StartsWithPcfo(const char* line) {
  const char* key = "PCFO";
  for (int i = 0; i < 4; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != key[i]) return false;
  }
  return true;
}

namespace {

// The byte length and decimals of a length token ("n" or "n/d") by the
// rule of the field's type. False when the token breaks the rule.
bool ApplyLengthRule(const FieldType& row, const char* token, size_t typeTokenLength,
                     FieldDescriptor* field) {
  const int32_t n = ReadInt(token);
  const char* slash = std::strchr(token, '/');
  const int32_t d = slash != nullptr ? ReadInt(slash + 1) : 0;
  field->decimals = d;
  switch (row.length) {
    case LengthRule::kClassic:
      field->length = slash != nullptr ? n / 2 : n;
      break;
    case LengthRule::kPackedDigits:
      field->length = slash != nullptr || typeTokenLength == 1 ? n / 2 : n;
      break;
    case LengthRule::kZonedDigits:
      field->length = n;
      if (n < 1) return false;
      break;
    case LengthRule::kBinaryWidth:
      field->length = n;
      if (n != 2 && n != 4 && n != 8) return false;
      break;
    case LengthRule::kFloatWidth:
      field->length = n;
      if ((n != 4 && n != 8) || slash != nullptr) return false;
      break;
    case LengthRule::kBytes:
      field->length = n;
      if (slash != nullptr) return false;
      break;
    case LengthRule::kEvenBytes:
      field->length = n;
      if (n % 2 != 0 || slash != nullptr) return false;
      break;
  }
  if (field->length < 0 || field->length > row.maxLength) return false;
  return field->decimals >= 0 && field->decimals <= kMaxDecimals;
}

}  // namespace

FieldLineFault ParseFieldLine(char* line, int32_t offset, FieldDescriptor* field) {
  char* tokens[4];
  int count = 0;
  char* p = line;
  for (;;) {
    tokens[count++] = p;
    char* space = std::strchr(p, ' ');
    if (space != nullptr) *space = '\0';
    if (count == 4 || space == nullptr) break;
    p = space + 1;
  }
  if (std::strcmp(tokens[0], "PCFL") != 0) return FieldLineFault::kNotFieldLine;
  if (count < 4) return FieldLineFault::kTooFewTokens;

  if (std::strlen(tokens[1]) >= static_cast<size_t>(kFieldNameSize)) return FieldLineFault::kNameTooLong;
  std::strcpy(field->name, tokens[1]);

  const size_t typeLength = std::strlen(tokens[2]);
  if (!TypeCodeOfToken(tokens[2], typeLength, &field->type)) return FieldLineFault::kTypeToken;
  const FieldType& row = FieldTypeOf(field->type);
  if (!ApplyLengthRule(row, tokens[3], typeLength, field)) return FieldLineFault::kLength;
  field->size = field->length + row.prefix;
  field->offset = offset;
  return offset + field->size <= kMaxRecordLength ? FieldLineFault::kNone : FieldLineFault::kRecordTooLong;
}

FieldListReader::FieldListReader(FieldList* list) : list_(list) {
  list_->fields.clear();
  list_->count = 0;
}

bool FieldListReader::AddLine(char* line) {
  if (broken_) return false;
  if (!started_) {
    started_ = StartsWithPcfo(line);
    return true;
  }
  const size_t len = std::strlen(line);
  if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
  if (list_->count >= kMaxFields) {
    broken_ = true;
    return false;
  }
  FieldDescriptor field{};
  if (ParseFieldLine(line, list_->recordLength(), &field) != FieldLineFault::kNone) {
    broken_ = true;
    return false;
  }
  list_->fields.push_back(field);
  ++list_->count;
  return true;
}

bool FieldListReader::Finish() const { return started_ && !broken_ && list_->count > 0; }

bool ParseFieldList(const char* text, size_t size, FieldList* list) {
  FieldListReader reader(list);
  char line[kFdfLineSize];
  size_t at = 0;
  while (at < size) {
    // As fgets fills the line: up to and with a line feed, at most
    // kFdfLineSize - 1 bytes; a zero byte ends what the line shows.
    size_t n = 0;
    while (at + n < size && n < kFdfLineSize - 1) {
      if (text[at + n++] == '\n') break;
    }
    std::memcpy(line, text + at, n);
    line[n] = '\0';
    at += n;
    if (!reader.AddLine(line)) return false;
  }
  return reader.Finish();
}

bool ReadFieldList(FILE* fdf, FieldList* list) {
  FieldListReader reader(list);
  char line[kFdfLineSize];
  while (std::fgets(line, sizeof line, fdf) != nullptr) {
    if (!reader.AddLine(line)) return false;
  }
  return reader.Finish();
}

void ReadFieldDescription(const char* path, FieldDescription* description) {
  description->list.count = 0;
  description->valid = false;
  FILE* fdf = OpenStream(path, "r");
  description->opened = fdf != nullptr;
  if (fdf == nullptr) return;
  description->valid = ReadFieldList(fdf, &description->list);
  std::fclose(fdf);
}
