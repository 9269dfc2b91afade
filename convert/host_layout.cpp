#include "convert/host_layout.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "base/path.h"
#include "base/text.h"
#include "base/texts.h"
#include "convert/field_types.h"

namespace {

// ---- shared -------------------------------------------------------------------

constexpr int32_t kMaxNumber = 1000000000;  // numbers read saturate here

std::string Format(const char* format, int a, int b = 0) {
  char text[512];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string FormatText(const char* format, const std::string& value) {
  char text[512];
  std::snprintf(text, sizeof text, format, value.substr(0, 200).c_str());
  return text;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperText(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = Upper(c);
  return u;
}

// A name the list can carry as its PCFL token: no blank, no control byte.
bool IsListName(const std::string& name) {
  if (name.empty() || name.size() >= static_cast<size_t>(kFieldNameSize)) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  }
  return true;
}

// A name the .fdf's file can take: a list name without the characters a
// path or Windows forbids, not starting with a dot.
bool IsFileName(const std::string& name) {
  if (!IsListName(name) || name.size() >= static_cast<size_t>(kFileBaseNameSize) || name[0] == '.') {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    // Shift-JIS: a lead byte and its trail byte (which may be 0x5C) are one character.
    if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
      ++i;
      continue;
    }
    if (std::strchr("/\\:*?\"<>|", c) != nullptr) return false;
  }
  return true;
}

// ---- DSPFFD outfile (QWHDRFFD) ------------------------------------------------

// 0-based offsets of the fields read.
constexpr int kWhFile = 0, kWhLib = 10, kWhName = 46, kWhSeq = 56, kWhFldn = 119, kWhRlen = 124,
              kWhFldi = 129, kWhFlde = 139, kWhFobo = 149, kWhFldb = 159, kWhFldd = 164,
              kWhFldp = 166, kWhFldt = 321, kWhCcsid = 491, kWhVarl = 499, kWhNull = 503;
constexpr size_t kMinOutfileRecord = 504;
constexpr size_t kUsualOutfileRecord = 1040;
constexpr size_t kMaxOutfileRecord = 32766;
constexpr unsigned char kEbcdicBlank = 0x40;
constexpr unsigned char kEbcdicY = 0xE8;

// The characters every Japanese host code page has at the same codes.
char SharedEbcdic(unsigned char b) {
  if (b >= 0xC1 && b <= 0xC9) return static_cast<char>('A' + (b - 0xC1));
  if (b >= 0xD1 && b <= 0xD9) return static_cast<char>('J' + (b - 0xD1));
  if (b >= 0xE2 && b <= 0xE9) return static_cast<char>('S' + (b - 0xE2));
  if (b >= 0xF0 && b <= 0xF9) return static_cast<char>('0' + (b - 0xF0));
  if (b == 0x6D) return '_';
  return 0;
}

// Zoned digits, a sign zone allowed on the last; false unless every byte is a digit.
bool Zoned(const unsigned char* p, int n, int32_t* value) {
  int32_t v = 0;
  for (int i = 0; i < n; ++i) {
    const unsigned zone = p[i] >> 4;
    const unsigned digit = p[i] & 0x0F;
    if (digit > 9 || (zone != 0xF && !(i == n - 1 && (zone == 0xC || zone == 0xA || zone == 0xE)))) {
      return false;
    }
    v = v * 10 + static_cast<int32_t>(digit);
  }
  *value = v;
  return true;
}

// Packed 5,0 (3 bytes); 0 when it holds no valid positive number.
int32_t Packed5(const unsigned char* p) {
  int32_t v = 0;
  for (int i = 0; i < 5; ++i) {
    const unsigned digit = (i % 2 == 0 ? p[i / 2] >> 4 : p[i / 2] & 0x0F);
    if (digit > 9) return 0;
    v = v * 10 + static_cast<int32_t>(digit);
  }
  const unsigned sign = p[2] & 0x0F;
  return sign == 0xF || sign == 0xC ? v : 0;
}

// True when a record could stand at p: its numbers are zoned digits.
bool OutfileRecordAt(const unsigned char* p) {
  int32_t v;
  return Zoned(p + kWhFldn, 5, &v) && Zoned(p + kWhRlen, 5, &v) && Zoned(p + kWhFobo, 5, &v) &&
         Zoned(p + kWhFldb, 5, &v) && Zoned(p + kWhFldd, 2, &v) && Zoned(p + kWhFldp, 2, &v);
}

std::string Identity(const unsigned char* r) {
  return std::string(reinterpret_cast<const char*>(r), 20) +
         std::string(reinterpret_cast<const char*>(r + kWhName), 10);
}

// The outfile's record length: 1040 when it fits, else the least that
// does: the size a whole number of records, each of them plausible, and
// each file (file, library and format repeated) with as many records as
// its first one says it has fields.
size_t OutfileRecordLength(const unsigned char* data, size_t size) {
  auto fits = [&](size_t length) {
    if (length > size || size % length != 0) return false;
    std::map<std::string, std::pair<int32_t, int32_t>> counts;  // said, seen
    for (size_t at = 0; at < size; at += length) {
      if (!OutfileRecordAt(data + at)) return false;
      int32_t said = 0;
      Zoned(data + at + kWhFldn, 5, &said);
      auto& count = counts.emplace(Identity(data + at), std::make_pair(said, 0)).first->second;
      ++count.second;
    }
    for (const auto& file : counts) {
      if (file.second.first != file.second.second) return false;
    }
    return true;
  };
  if (fits(kUsualOutfileRecord)) return kUsualOutfileRecord;
  for (size_t length = kMinOutfileRecord; length <= kMaxOutfileRecord && length <= size; ++length) {
    if (fits(length)) return length;
  }
  return 0;
}

// An EBCDIC name, its trailing blanks cut; false when empty or when a byte
// does not decode to a character a name can hold.
bool DecodeName(const unsigned char* p, int n, const unsigned char* ebcdic, std::string* name) {
  while (n > 0 && p[n - 1] == kEbcdicBlank) --n;
  name->clear();
  if (n == 0) return false;
  for (int i = 0; i < n; ++i) {
    // The settings' table, and for a code it leaves out the characters
    // every Japanese code page has there.
    char c = ebcdic != nullptr ? static_cast<char>(ebcdic[p[i]]) : '\0';
    if (c == '\0') c = SharedEbcdic(p[i]);
    if (c == '\0') return false;
    name->push_back(c);
  }
  return IsListName(*name);
}

struct OutfileRecord {
  int32_t recordLength, position, bytes, digits, decimals;
};

HostSource ReadOutfile(const unsigned char* data, size_t size, const unsigned char* ebcdic,
                       std::vector<HostFileLayout>* files, std::string* report,
                       const std::string& inputName) {
  const size_t length = OutfileRecordLength(data, size);
  if (length == 0) {
    AppendReportLine(report, inputName, kTextFdfmakeNoRecordLength);
    return HostSource::kUnknown;
  }
  std::map<std::string, size_t> seen;  // a file's identity -> its index in files
  std::vector<std::vector<OutfileRecord>> records;
  size_t current = SIZE_MAX;
  for (size_t at = 0; at < size; at += length) {
    const unsigned char* r = data + at;
    const std::string key = Identity(r);
    auto found = seen.find(key);
    if (found == seen.end()) {
      if (static_cast<int>(files->size()) >= kMaxHostFiles) break;
      HostFileLayout layout;
      std::string library;
      std::string format;
      const bool named = DecodeName(r + kWhFile, 10, ebcdic, &layout.file) &&
                         DecodeName(r + kWhLib, 10, ebcdic, &library) &&
                         DecodeName(r + kWhName, 10, ebcdic, &format);
      if (!named) {
        // Said once for the file; the file's records are still walked, to
        // keep the others apart.
        layout.file = Format("%d", static_cast<int>(at / length) + 1);
        layout.refusal = "  " + inputName + " " + layout.file + kTextFdfmakeNameUndecodable;
      }
      layout.library = library;
      layout.format = format;
      for (int i = 0; i < 13; ++i) {
        const char c = SharedEbcdic(r[kWhSeq + i]);
        layout.levelId.push_back(c != 0 ? c : '?');
      }
      seen.emplace(key, files->size());
      current = files->size();
      files->push_back(layout);
      records.emplace_back();
    } else if (found->second != current) {
      // Another file's record came between: its layout is not one run of records.
      current = found->second;
      HostFileLayout& layout = (*files)[current];
      if (layout.refusal.empty()) AppendReportLine(&layout.refusal, layout.file, kTextFdfmakeInterleaved);
    }
    HostFileLayout& layout = (*files)[current];
    OutfileRecord rec{};
    Zoned(r + kWhRlen, 5, &rec.recordLength);
    Zoned(r + kWhFobo, 5, &rec.position);
    Zoned(r + kWhFldb, 5, &rec.bytes);
    Zoned(r + kWhFldd, 2, &rec.digits);
    Zoned(r + kWhFldp, 2, &rec.decimals);
    if (records[current].empty()) layout.recordLength = rec.recordLength;
    records[current].push_back(rec);
    HostField field;
    // The external name; the internal one when the field has none.
    const bool named = DecodeName(r + kWhFlde, 10, ebcdic, &field.name) ||
                       DecodeName(r + kWhFldi, 10, ebcdic, &field.name);
    if (!named) {
      if (layout.refusal.empty()) {
        layout.refusal = "  " + layout.file + " " + Format("%d", static_cast<int>(records[current].size())) +
                         kTextFdfmakeNameUndecodable;
      }
    }
    field.hostType = SharedEbcdic(r[kWhFldt]);  // a letter, or 5
    if (field.hostType == 0) field.why = Format("X'%02X'", r[kWhFldt]);
    field.bytes = rec.bytes;
    field.digits = rec.digits;
    field.decimals = rec.decimals;
    field.ccsid = Packed5(r + kWhCcsid);
    field.varying = r[kWhVarl] == kEbcdicY;
    field.nullCapable = r[kWhNull] == kEbcdicY;
    layout.fields.push_back(field);
  }
  // Lengths that do not add up: fields not one after another, a record
  // length that is not the fields'.
  for (size_t f = 0; f < files->size(); ++f) {
    HostFileLayout& layout = (*files)[f];
    if (!layout.refusal.empty()) continue;
    const std::vector<OutfileRecord>& recs = records[f];
    int32_t next = 1;
    for (size_t i = 0; i < recs.size() && layout.refusal.empty(); ++i) {
      if (recs[i].position != next || recs[i].recordLength != layout.recordLength) {
        AppendReportLine(&layout.refusal, layout.file + " " + layout.fields[i].name,
                         Format(kTextFdfmakeNotContiguousFormat, recs[i].position, next).c_str());
      }
      next += recs[i].bytes;
    }
    if (layout.refusal.empty() && next - 1 != layout.recordLength) {
      AppendReportLine(&layout.refusal, layout.file,
                       Format(kTextFdfmakeLengthSumFormat, next - 1, layout.recordLength).c_str());
    }
  }
  return HostSource::kOutfile;
}

// ---- DDS source ------------------------------------------------------------------

std::string Trim(const std::string& s) {
  size_t a = 0;
  size_t b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

// Columns from..to (1-based, inclusive) of a line, blanks past its end.
std::string Columns(const std::string& line, size_t from, size_t to) {
  if (line.size() < from) return std::string();
  return line.substr(from - 1, to - from + 1);
}

// A number of digits only (blanks around it); -1 when it is none.
int32_t Digits(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) return -1;
  int32_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    v = v < kMaxNumber / 10 ? v * 10 + (c - '0') : kMaxNumber;
  }
  return v;
}

// Most lines and SQL tokens a text description is read in: memory stays
// within some tens of megabytes whatever the input holds.
constexpr size_t kMaxTextPieces = 1000000;

std::vector<std::string> Lines(const char* data, size_t size) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < size && lines.size() < kMaxTextPieces) {
    const void* nl = std::memchr(data + at, '\n', size - at);
    const size_t end = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - data) : size;
    std::string line(data + at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

bool IsDdsComment(const std::string& line) { return line.size() >= 7 && line[6] == '*'; }

// Column 6 holds the form type A (or a blank, which the compiler takes as A).
bool IsDdsLine(const std::string& line) {
  return line.size() >= 17 && (line[5] == 'A' || line[5] == 'a' || line[5] == ' ') && !IsDdsComment(line);
}

// DDS keywords: NAME or NAME(value); the value of each one read.
struct DdsKeywords {
  bool varlen = false;
  bool reference = false;
  bool allowNull = false;
  bool doubleFloat = false;
  int32_t ccsid = 0;
  std::string datfmt;
};

void ReadKeywords(const std::string& text, DdsKeywords* k) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    std::string word;
    while (i < text.size() && text[i] != ' ' && text[i] != '(') word.push_back(Upper(text[i++]));
    std::string value;
    if (i < text.size() && text[i] == '(') {
      int depth = 0;
      bool quoted = false;
      for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\'') quoted = !quoted;
        if (!quoted && c == '(') ++depth;
        if (!quoted && c == ')' && --depth == 0) {
          ++i;
          break;
        }
        if (depth > 0 && !(depth == 1 && c == '(')) value.push_back(Upper(c));
      }
    }
    value = Trim(value);
    if (word == "VARLEN") k->varlen = true;
    if (word == "REFFLD") k->reference = true;
    if (word == "ALWNULL") k->allowNull = true;
    if (word == "CCSID") k->ccsid = Digits(value.substr(0, value.find(' ')));
    if (word == "FLTPCN") k->doubleFloat = value == "*DOUBLE";
    if (word == "DATFMT") k->datfmt = value;
  }
}

struct DdsField {
  HostField field;
  std::string length, type, decimals, keywords;
  bool reference;
  int line;
};

// The buffer bytes of a DDS field from its length, type and keywords; false
// when they do not give a field.
bool DdsFieldBytes(DdsField* d) {
  DdsKeywords k;
  ReadKeywords(d->keywords, &k);
  HostField& f = d->field;
  const int32_t length = Digits(d->length);
  const int32_t decimals = Digits(d->decimals);
  if (length > kMaxRecordLength || decimals > 63) return false;
  char type = Upper(Trim(d->type).empty() ? ' ' : Trim(d->type)[0]);
  if (type == ' ') type = decimals >= 0 ? 'P' : 'A';
  f.hostType = type;
  f.decimals = decimals > 0 ? decimals : 0;
  f.digits = length > 0 ? length : 0;
  f.ccsid = k.ccsid > 0 ? k.ccsid : 0;
  f.varying = k.varlen;
  f.nullCapable = k.allowNull;
  d->reference = d->reference || k.reference;
  if (d->reference) return true;
  const bool needsLength = std::strchr("LTZ", type) == nullptr;
  if (needsLength && length <= 0) return false;
  switch (type) {
    case 'A': case 'O': case 'J': case 'E': case 'H':
      f.bytes = length;
      f.digits = 0;
      break;
    case 'G':
      f.bytes = 2 * length;
      f.digits = 0;
      break;
    case 'P':
      f.bytes = length / 2 + 1;
      break;
    case 'S':
      f.bytes = length;
      break;
    case 'B':
      if (length > 18) return false;
      f.bytes = length <= 4 ? 2 : length <= 9 ? 4 : 8;
      break;
    case 'F':
      f.bytes = k.doubleFloat ? 8 : 4;
      break;
    case 'L': {
      const std::string& form = k.datfmt;
      if (form.empty() || form == "*ISO" || form == "*USA" || form == "*EUR" || form == "*JIS") {
        f.bytes = 10;
      } else if (form == "*MDY" || form == "*DMY" || form == "*YMD") {
        f.bytes = 8;
      } else if (form == "*JUL") {
        f.bytes = 6;
      } else {
        return false;
      }
      break;
    }
    case 'T':
      f.bytes = 8;
      break;
    case 'Z':
      f.bytes = 26;
      break;
    default:
      return false;
  }
  if (f.varying) f.bytes += 2;
  return true;
}

HostSource ReadDds(const char* data, size_t size, const std::string& inputName,
                   std::vector<HostFileLayout>* files, std::string* report) {
  const std::vector<std::string> lines = Lines(data, size);
  if (lines.size() >= kMaxTextPieces) {
    AppendReportLine(report, inputName, kTextFdfmakeUnreadable);
    return HostSource::kUnknown;
  }
  bool recordFormat = false;
  for (const std::string& line : lines) recordFormat = recordFormat || (IsDdsLine(line) && Upper(line[16]) == 'R');
  if (!recordFormat) {
    AppendReportLine(report, inputName, kTextFdfmakeUnknownInput);
    return HostSource::kUnknown;
  }
  HostFileLayout layout;
  layout.file = inputName.substr(FileNameStart(inputName.c_str()));
  layout.file = layout.file.substr(0, layout.file.find('.'));
  std::vector<DdsField> fields;
  bool inField = false;  // keyword lines belong to the last field
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (Trim(line).empty() || IsDdsComment(line)) continue;
    if (!IsDdsLine(line)) {
      if (layout.refusal.empty()) {
        AppendReportLine(&layout.refusal, inputName, Format(kTextFdfmakeBadLineFormat, static_cast<int>(n + 1)).c_str());
      }
      continue;
    }
    const char nameType = Upper(line[16]);
    std::string keywords = Columns(line, 45, 80);
    // A keyword continued on the next line ends in + or -.
    const std::string trimmed = Trim(keywords);
    if (!trimmed.empty() && (trimmed.back() == '+' || trimmed.back() == '-')) {
      keywords = trimmed.substr(0, trimmed.size() - 1);
    }
    const std::string name = Trim(Columns(line, 19, 28));
    if (nameType == 'R') {
      if (layout.format.empty()) layout.format = name;
      inField = false;
    } else if (nameType == 'K' || nameType == 'S' || nameType == 'O') {
      inField = false;
    } else if (nameType == ' ' && !name.empty()) {
      if (static_cast<int>(fields.size()) >= kMaxFields) break;
      DdsField d;
      d.field.name = name;
      d.length = Columns(line, 30, 34);
      d.type = Columns(line, 35, 35);
      d.decimals = Columns(line, 36, 37);
      d.keywords = keywords;
      d.reference = Upper(line.size() >= 29 ? line[28] : ' ') == 'R';
      d.line = static_cast<int>(n + 1);
      fields.push_back(d);
      inField = true;
    } else if (nameType == ' ' && inField) {
      fields.back().keywords += " " + keywords;
    } else if (nameType != ' ') {
      if (layout.refusal.empty()) {
        AppendReportLine(&layout.refusal, inputName, Format(kTextFdfmakeBadLineFormat, static_cast<int>(n + 1)).c_str());
      }
    }
  }
  for (DdsField& d : fields) {
    if (!DdsFieldBytes(&d)) {
      if (layout.refusal.empty()) {
        AppendReportLine(&layout.refusal, inputName, Format(kTextFdfmakeBadLineFormat, d.line).c_str());
      }
    } else if (d.reference) {
      AppendReportLine(&layout.refusal, layout.file + " " + d.field.name, kTextFdfmakeReference);
    }
    layout.fields.push_back(d.field);
  }
  files->push_back(layout);
  return HostSource::kDds;
}

// ---- SQL CREATE TABLE ----------------------------------------------------------

enum class TokenKind : uint8_t { kWord, kQuoted, kString, kNumber, kPunct };
struct Token {
  TokenKind kind;
  std::string text;  // a quoted name without its quotes
};

bool IsWordByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c == '#' || c == '@' || c >= 0x80;
}

std::vector<Token> Tokens(const char* data, size_t size) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < size && tokens.size() < kMaxTextPieces) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c <= ' ') {
      ++i;
    } else if (c == '-' && i + 1 < size && data[i + 1] == '-') {
      while (i < size && data[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < size && data[i + 1] == '*') {
      const char* end = nullptr;
      for (size_t j = i + 2; j + 1 < size; ++j) {
        if (data[j] == '*' && data[j + 1] == '/') {
          end = data + j + 2;
          break;
        }
      }
      i = end != nullptr ? static_cast<size_t>(end - data) : size;
    } else if (c == '"' || c == '\'') {
      Token t{c == '"' ? TokenKind::kQuoted : TokenKind::kString, std::string()};
      ++i;
      while (i < size) {
        if (data[i] == static_cast<char>(c)) {
          if (i + 1 < size && data[i + 1] == static_cast<char>(c)) {
            t.text.push_back(static_cast<char>(c));
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        t.text.push_back(data[i++]);
      }
      tokens.push_back(t);
    } else if (IsWordByte(c)) {
      Token t{c >= '0' && c <= '9' ? TokenKind::kNumber : TokenKind::kWord, std::string()};
      while (i < size && IsWordByte(static_cast<unsigned char>(data[i]))) t.text.push_back(data[i++]);
      tokens.push_back(t);
    } else {
      tokens.push_back(Token{TokenKind::kPunct, std::string(1, static_cast<char>(c))});
      ++i;
    }
  }
  return tokens;
}

// Walks the tokens of one statement.
class SqlWalk {
 public:
  SqlWalk(const std::vector<Token>& t, size_t from, size_t to) : t_(t), at_(from), end_(to) {}
  bool done() const { return at_ >= end_; }
  const Token* peek(size_t ahead = 0) const { return at_ + ahead < end_ ? &t_[at_ + ahead] : nullptr; }
  bool Word(const char* word, size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t != nullptr && t->kind == TokenKind::kWord && UpperText(t->text) == word;
  }
  bool Punct(char c, size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t != nullptr && t->kind == TokenKind::kPunct && t->text[0] == c;
  }
  bool Take(const char* word) {
    if (!Word(word)) return false;
    ++at_;
    return true;
  }
  bool TakePunct(char c) {
    if (!Punct(c)) return false;
    ++at_;
    return true;
  }
  // A name: a word or a quoted name.
  bool Name(std::string* name) {
    const Token* t = peek();
    if (t == nullptr || (t->kind != TokenKind::kWord && t->kind != TokenKind::kQuoted)) return false;
    *name = t->text;
    ++at_;
    return true;
  }
  // "(n)" or "(n, m)"; the numbers left as they were when absent.
  bool Arguments(int32_t* a, int32_t* b) {
    if (!TakePunct('(')) return true;
    bool ok = Number(a);
    if (TakePunct(',')) ok = ok && Number(b);
    // Length units (CODEUNITS16, OCTETS) and the like are passed over.
    while (!done() && !Punct(')')) ++at_;
    return TakePunct(')') && ok;
  }
  bool Number(int32_t* v) {
    const Token* t = peek();
    if (t == nullptr || t->kind != TokenKind::kNumber) return false;
    *v = Digits(t->text);
    ++at_;
    return *v >= 0;
  }
  void Skip() { ++at_; }
  size_t at() const { return at_; }
  // Passes a parenthesised part; at_ on its "(".
  void SkipGroup() {
    int depth = 0;
    do {
      if (Punct('(')) ++depth;
      if (Punct(')')) --depth;
      ++at_;
    } while (!done() && depth > 0);
  }

 private:
  const std::vector<Token>& t_;
  size_t at_;
  size_t end_;
};

// The data type of a column; false when the words are no type at all.
bool SqlType(SqlWalk* w, HostField* f) {
  const Token* t = w->peek();
  if (t == nullptr || t->kind != TokenKind::kWord) return false;
  const std::string word = UpperText(t->text);
  w->Skip();
  int32_t n = 0;  // the length or precision given, or its default
  int32_t s = 0;
  bool ok = true;
  auto varying = [&] { return w->Take("VARYING"); };
  if (word == "CHAR" || word == "CHARACTER") {
    if (w->Word("LARGE")) {
      f->why = "CLOB";
      return true;
    }
    f->hostType = 'A';
    f->varying = varying();
    n = 1;
    ok = w->Arguments(&n, &s);
    f->bytes = n;
  } else if (word == "VARCHAR") {
    f->hostType = 'A';
    f->varying = true;
    n = -1;
    ok = w->Arguments(&n, &s);
    f->bytes = n;
  } else if (word == "GRAPHIC" || word == "VARGRAPHIC") {
    f->hostType = 'G';
    f->varying = word == "VARGRAPHIC" || varying();
    n = 1;
    ok = w->Arguments(&n, &s);
    f->bytes = 2 * n;
  } else if (word == "NCHAR" || word == "NVARCHAR" || word == "NATIONAL") {
    if (word == "NATIONAL" && !w->Take("CHAR") && !w->Take("CHARACTER")) return false;
    f->hostType = 'G';
    f->ccsid = 1200;
    f->varying = word == "NVARCHAR" || varying();
    n = 1;
    ok = w->Arguments(&n, &s);
    f->bytes = 2 * n;
  } else if (word == "DECIMAL" || word == "DEC" || word == "NUMERIC" || word == "NUM") {
    f->hostType = word == "NUMERIC" || word == "NUM" ? 'S' : 'P';
    n = 5;
    ok = w->Arguments(&n, &s);
    f->digits = n;
    f->decimals = s;
    f->bytes = f->hostType == 'P' ? n / 2 + 1 : n;
    ok = ok && n >= 1 && n <= 63 && s >= 0 && s <= n;
  } else if (word == "SMALLINT" || word == "INTEGER" || word == "INT" || word == "BIGINT") {
    f->hostType = 'B';
    f->bytes = word == "SMALLINT" ? 2 : word == "BIGINT" ? 8 : 4;
    f->digits = word == "SMALLINT" ? 4 : word == "BIGINT" ? 18 : 9;
  } else if (word == "REAL") {
    f->hostType = 'F';
    f->bytes = 4;
  } else if (word == "DOUBLE") {
    w->Take("PRECISION");
    f->hostType = 'F';
    f->bytes = 8;
  } else if (word == "FLOAT") {
    n = 53;
    ok = w->Arguments(&n, &s);
    f->hostType = 'F';
    f->bytes = n <= 24 ? 4 : 8;
  } else if (word == "DATE") {
    f->hostType = 'L';
    f->bytes = 10;
  } else if (word == "TIME") {
    f->hostType = 'T';
    f->bytes = 8;
  } else if (word == "TIMESTAMP") {
    n = 6;
    ok = w->Arguments(&n, &s);
    f->hostType = 'Z';
    f->bytes = n == 0 ? 19 : 20 + n;
    ok = ok && n <= 12;
  } else if (word == "BINARY" || word == "VARBINARY") {
    if (w->Word("LARGE")) {
      f->why = "BLOB";
      return true;
    }
    f->hostType = 'H';
    f->varying = word == "VARBINARY" || varying();
    n = word == "VARBINARY" ? -1 : 1;
    ok = w->Arguments(&n, &s);
    f->bytes = n;
  } else {
    // DECFLOAT, the LOBs, XML, ROWID, DATALINK, BOOLEAN and unknown words:
    // named in the refusal as written.
    f->why = word;
    int32_t ignored = 0;
    w->Arguments(&ignored, &ignored);
    return true;
  }
  if (!ok || n < 0 || n > kMaxRecordLength) return false;
  if (f->varying) f->bytes += 2;
  return true;
}

// One CREATE TABLE statement, its tokens from..to; at on the word TABLE's follower.
void ReadCreateTable(SqlWalk* w, const std::string& inputName, std::vector<HostFileLayout>* files) {
  HostFileLayout layout;
  std::string name;
  w->Name(&name);
  if (w->TakePunct('.') || w->TakePunct('/')) {
    layout.library = name;
    w->Name(&name);
  }
  layout.file = name;
  if (w->Word("FOR") && w->Word("SYSTEM", 1) && w->Word("NAME", 2)) {
    w->Skip();
    w->Skip();
    w->Skip();
    w->Name(&layout.file);
  }
  if (!w->TakePunct('(')) {
    // AS (SELECT ...), LIKE: the columns are another table's.
    AppendReportLine(&layout.refusal, inputName + " " + layout.file, kTextFdfmakeSqlUnreadable);
    files->push_back(layout);
    return;
  }
  while (!w->done() && !w->Punct(')')) {
    const bool constraint = w->Word("CONSTRAINT") || w->Word("PRIMARY") || w->Word("UNIQUE") ||
                            w->Word("FOREIGN") || w->Word("CHECK") || w->Word("PERIOD");
    HostField f;
    bool ok = true;
    if (!constraint) {
      ok = w->Name(&f.name);
      if (ok && w->Word("FOR") && w->Word("COLUMN", 1)) {
        w->Skip();
        w->Skip();
        std::string system;
        w->Name(&system);
      }
      ok = ok && SqlType(w, &f);
      f.nullCapable = true;
    }
    // The rest of the element: CCSID, FOR BIT DATA, NOT NULL; defaults and
    // the rest passed over.
    while (!w->done() && !w->Punct(',') && !w->Punct(')')) {
      if (w->Punct('(')) {
        w->SkipGroup();
      } else if (w->Word("CCSID") && w->peek(1) != nullptr && w->peek(1)->kind == TokenKind::kNumber) {
        w->Skip();
        w->Number(&f.ccsid);
      } else if (w->Word("FOR") && w->Word("BIT", 1) && w->Word("DATA", 2)) {
        if (f.hostType == 'A') f.hostType = 'H';
        w->Skip();
        w->Skip();
        w->Skip();
      } else if (w->Word("NOT") && w->Word("NULL", 1)) {
        f.nullCapable = false;
        w->Skip();
        w->Skip();
      } else {
        w->Skip();
      }
    }
    if (!constraint) {
      if (!ok) {
        if (layout.refusal.empty()) {
          AppendReportLine(&layout.refusal, inputName + " " + layout.file + " " + f.name,
                           kTextFdfmakeSqlUnreadable);
        }
      } else if (static_cast<int>(layout.fields.size()) < kMaxFields) {
        layout.fields.push_back(f);
      }
    }
    w->TakePunct(',');
  }
  w->TakePunct(')');
  while (!w->done()) {
    if (w->Take("RCDFMT")) {
      w->Name(&layout.format);
    } else {
      w->Skip();
    }
  }
  if (layout.fields.empty() && layout.refusal.empty()) {
    AppendReportLine(&layout.refusal, layout.file, kTextFdfmakeNoFields);
  }
  files->push_back(layout);
}

bool ReadSql(const char* data, size_t size, const std::string& inputName,
             std::vector<HostFileLayout>* files, std::string* report) {
  const std::vector<Token> tokens = Tokens(data, size);
  if (tokens.size() >= kMaxTextPieces) {
    // Read in part it would lose tables without a word.
    AppendReportLine(report, inputName, kTextFdfmakeUnreadable);
    return true;
  }
  bool any = false;
  size_t from = 0;
  while (from < tokens.size()) {
    size_t to = from;
    while (to < tokens.size() && !(tokens[to].kind == TokenKind::kPunct && tokens[to].text == ";")) ++to;
    SqlWalk w(tokens, from, to);
    if (w.Take("CREATE")) {
      if (w.Take("OR")) w.Take("REPLACE");
      if (w.Take("TABLE") && static_cast<int>(files->size()) < kMaxHostFiles) {
        any = true;
        ReadCreateTable(&w, inputName, files);
      }
    }
    from = to + 1;
  }
  return any;
}

// Text: no zero byte, and no EBCDIC letters and digits where an outfile has its numbers.
bool LooksLikeText(const char* data, size_t size) {
  return std::memchr(data, '\0', size) == nullptr;
}

std::string LengthToken(const HostTypeRow& row, const HostField& f) {
  int32_t n = f.bytes;
  bool decimals = false;
  switch (row.length) {
    case HostLength::kBufferBytes:
      break;
    case HostLength::kDataBytes:
      n = f.bytes - 2;
      break;
    case HostLength::kTwiceBytes:
      n = 2 * f.bytes;
      decimals = true;
      break;
    case HostLength::kDigits:
      n = f.digits;
      decimals = true;
      break;
    case HostLength::kBytesDecimals:
      decimals = true;
      break;
  }
  return decimals && f.decimals > 0 ? Format("%d/%d", n, f.decimals) : Format("%d", n);
}

}  // namespace

void AppendReportLine(std::string* report, const std::string& name, const char* text) {
  *report += "  ";
  *report += name;
  *report += text;
  if (report->empty() || report->back() != '\n') *report += "\n";
}

HostSource ReadHostDescription(const char* data, size_t size, const char* inputName,
                               const unsigned char* ebcdic, std::vector<HostFileLayout>* files,
                               std::string* report) {
  const std::string input = inputName;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  if (size > kMaxHostDescriptionSize) {
    AppendReportLine(report, input, kTextFdfmakeUnreadable);
    return HostSource::kUnknown;
  }
  if (size >= kMinOutfileRecord && OutfileRecordAt(bytes)) {
    return ReadOutfile(bytes, size, ebcdic, files, report, input);
  }
  if (size == 0 || !LooksLikeText(data, size)) {
    AppendReportLine(report, input, kTextFdfmakeUnknownInput);
    return HostSource::kUnknown;
  }
  if (size > kMaxTextDescriptionSize) {
    AppendReportLine(report, input, kTextFdfmakeUnreadable);
    return HostSource::kUnknown;
  }
  const size_t reported = report->size();
  if (ReadSql(data, size, input, files, report)) {
    return report->size() > reported && files->empty() ? HostSource::kUnknown : HostSource::kSql;
  }
  return ReadDds(data, size, input, files, report);
}

bool MakeFieldListText(const HostFileLayout& file, const char* source, const char* date,
                       std::string* fdf, std::string* report) {
  if (!file.refusal.empty()) {
    *report += file.refusal;
    return false;
  }
  if (!IsFileName(file.file)) {
    AppendReportLine(report, file.file, kTextFdfmakeBadName);
    return false;
  }
  if (file.fields.empty()) {
    AppendReportLine(report, file.file, kTextFdfmakeNoFields);
    return false;
  }
  std::string lines;
  bool refused = false;
  bool nullCapable = false;
  FieldList list;
  FieldListReader reader(&list);
  char pcfo[] = "PCFO\n";
  reader.AddLine(pcfo);
  for (const HostField& f : file.fields) {
    const std::string name = file.file + " " + f.name;
    const HostTypeRow* row = f.why.empty() ? HostTypeRowOf(f.hostType, f.ccsid, f.varying) : nullptr;
    if (row == nullptr || row->code == '\0') {
      const std::string what = !f.why.empty() ? f.why
                               : row != nullptr ? std::string(1, f.hostType) + ": " + row->what
                                                : std::string(1, f.hostType);
      AppendReportLine(report, name, FormatText(kTextFdfmakeNoTypeFormat, what).c_str());
      refused = true;
      continue;
    }
    if (!IsListName(f.name)) {
      AppendReportLine(report, name, kTextFdfmakeBadName);
      refused = true;
      continue;
    }
    const std::string token = std::string(1, row->code) + " " + LengthToken(*row, f);
    const std::string line = "PCFL " + f.name + " " + token + "\n";
    std::vector<char> work(line.begin(), line.end());
    work.push_back('\0');
    if (!refused && !reader.AddLine(work.data())) {
      AppendReportLine(report, name, FormatText(kTextFdfmakeLengthNotAllowedFormat, token).c_str());
      refused = true;
      continue;
    }
    nullCapable = nullCapable || f.nullCapable;
    lines += line;
  }
  if (refused) return false;
  if (file.recordLength != 0 && list.recordLength() != file.recordLength) {
    AppendReportLine(report, file.file,
                     Format(kTextFdfmakeLengthSumFormat, list.recordLength(), file.recordLength).c_str());
    return false;
  }
  if (nullCapable) AppendReportLine(report, file.file, kTextFdfmakeNullCapable);

  std::string header = "* ";
  if (!file.library.empty()) header += file.library + "/";
  header += file.file;
  if (!file.format.empty()) header += " record format " + file.format;
  if (!file.levelId.empty()) header += " level " + file.levelId;
  header += Format(" record length %d\n", list.recordLength());
  *fdf = header + "* fdfmake " + source + " " + date + "\nPCFO " + file.file + "\n" + lines;
  return true;
}

bool SameFieldListText(const std::string& a, const std::string& b) {
  auto strip = [](const std::string& text) {
    std::string out;
    for (const std::string& line : Lines(text.data(), text.size())) {
      if (line.compare(0, 10, "* fdfmake ") != 0) out += line + "\n";
    }
    return out;
  };
  return strip(a) == strip(b);
}

bool SameLayout(const FieldList& listed, const FieldList& made) {
  if (listed.count != made.count || listed.recordLength() != made.recordLength()) return false;
  for (int i = 0; i < listed.count; ++i) {
    const FieldDescriptor& l = listed.fields[static_cast<size_t>(i)];
    const FieldDescriptor& m = made.fields[static_cast<size_t>(i)];
    // Type 1 chooses per value between mixed and double-byte text; H shows
    // any bytes, and the host lists a column FOR BIT DATA as text of CCSID
    // 65535.
    const bool sameType = StoredAs(l.type) == m.type || (l.type == '1' && m.type == 'W') ||
                          (l.type == 'H' && m.type == 'A');
    if (!sameType || l.size != m.size || l.length != m.length || l.decimals != m.decimals) return false;
  }
  return true;
}
