#include "convert/list_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "base/texts.h"
#include "convert/decoders.h"
#include "convert/field_decode.h"
#include "convert/field_list.h"
#include "convert/field_types.h"
#include "convert/value_format.h"
#include "platform/fileio.h"
#include "platform/stream.h"

namespace {

constexpr int kMaxReportLines = 200;
constexpr int kShownLineBytes = 100;  // of a line of the list, in a report line
// A list has at most 8000 field lines and a few before them; past this
// many lines (of at most 2999 bytes) the file is no list, and reading it on
// would only take time.
constexpr int kMaxListLines = 1 << 17;
constexpr uint64_t kMaxCheckedBytes = uint64_t{1} << 28;
constexpr uint64_t kMaxCheckedValues = uint64_t{1} << 26;
constexpr size_t kImageBlockSize = size_t{1} << 20;

std::string Number(int64_t v) {
  char digits[24];
  *PutInt64(digits, v) = '\0';
  return digits;
}

// format with each "%s" replaced by the next of args and "%%" by "%".
std::string Format(const char* format, std::initializer_list<std::string> args) {
  std::string out;
  auto next = args.begin();
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (next != args.end()) out += *next++;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      out += '%';
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// A line of the list as a report shows it: its first bytes, cut at a whole
// character, control bytes (a tab among them) as '?'.
std::string Shown(const char* line) {
  char shown[kShownLineBytes + 1];
  const bool whole = CopyText(shown, sizeof shown, line);
  for (char* p = shown; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) *p = '?';
  }
  return whole ? std::string(shown) : std::string(shown) + "...";
}

// The lines of a report, up to kMaxReportLines, and its count of findings.
class Report {
 public:
  explicit Report(std::string* out) : out_(out) {}
  // A finding, or with counts false a note that tells how the check went.
  void Add(const std::string& line, bool counts = true) {
    if (counts) ++findings_;
    if (lines_ < kMaxReportLines) {
      *out_ += line;
      ++lines_;
    } else {
      ++omitted_;
    }
  }
  // Findings past those the report can show, counted only.
  void AddUnshown(int count) {
    findings_ += count;
    omitted_ += count;
  }
  void Finish() {
    if (omitted_ > 0) *out_ += Format(kTextCheckMoreFormat, {Number(omitted_)});
  }
  int findings() const { return findings_; }

 private:
  std::string* out_;
  int lines_ = 0;
  int omitted_ = 0;
  int findings_ = 0;
};

// A field line of the list, for the lines about the image.
struct ListedField {
  int line;
  std::string shown;
};

// True when line, past leading blanks and tabs, starts with the keyword
// PCFL as a token.
bool LooksLikeFieldLine(const char* line) {
  while (*line == ' ' || *line == '\t') ++line;
  return std::strncmp(line, "PCFL", 4) == 0 &&
         (line[4] == '\0' || line[4] == ' ' || line[4] == '\t' || line[4] == '\r' || line[4] == '\n');
}

// Among the first four tokens (what the conversion reads) of line: a tab,
// and an empty token (a blank at the start, two in a row, or one after the
// type with nothing after it).
void BlanksOf(const char* line, bool* tab, bool* emptyToken) {
  *tab = false;
  *emptyToken = false;
  const char* p = line;
  for (int token = 0; token < 4; ++token) {
    const char* end = std::strchr(p, ' ');
    if (end == nullptr) end = p + std::strlen(p);
    if (std::memchr(p, '\t', static_cast<size_t>(end - p)) != nullptr) *tab = true;
    if (end == p) *emptyToken = true;
    if (*end == '\0') return;
    p = end + 1;
  }
}

// What the conversion would make of the field list, line by line.
class ListCheck {
 public:
  ListCheck(const char* fileName, Report* report, FieldList* list, std::vector<ListedField>* listed)
      : fileName_(fileName), report_(report), list_(list), listed_(listed) {
    list_->fields.clear();
    list_->count = 0;
  }

  // One line (without its line feed) and its number; a line of the list
  // longer than the conversion reads is passed once, cut, with tooLong.
  void Line(char* line, int number, bool tooLong) {
    // The line end of a list saved with CR LF, as the text mode of Windows
    // takes it off.
    const size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\r') line[n - 1] = '\0';
    if (!started_) {
      if (StartsWithPcfo(line)) {
        started_ = true;
        if (tooLong) Finding(number, Shown(line), kTextCheckLineTooLong);
        // The conversion skips them: their fields are missing from the list.
        for (const ListedField& early : early_) Finding(early.line, early.shown, kTextCheckBeforePcfo);
        report_->AddUnshown(earlyCount_ - static_cast<int>(early_.size()));
        early_.clear();
      } else if (LooksLikeFieldLine(line)) {
        if (early_.size() < kMaxReportLines) early_.push_back(ListedField{number, Shown(line)});
        ++earlyCount_;
      }
      return;
    }
    sawLine_ = true;
    const std::string shown = Shown(line);
    if (tooLong) {
      Finding(number, shown, kTextCheckLineTooLong);
      return;
    }
    if (line[0] == '\0') {
      Finding(number, shown, kTextCheckBlankLine);
      return;
    }
    if (!LooksLikeFieldLine(line)) {
      Finding(number, shown, kTextCheckNotFieldLine);
      return;
    }
    bool tab = false;
    bool emptyToken = false;
    BlanksOf(line, &tab, &emptyToken);

    FieldDescriptor field{};
    const FieldLineFault fault = ParseFieldLine(line, offset_, &field);
    const char* reason = nullptr;
    if (tab) {
      reason = kTextCheckTab;
    } else if (emptyToken) {
      reason = kTextCheckExtraBlank;
    }
    // A blank's fault, told above, comes before the line's own.
    const char* faultReason = nullptr;
    switch (fault) {
      case FieldLineFault::kNone:
        break;
      case FieldLineFault::kNotFieldLine:
        faultReason = kTextCheckNotFieldLine;
        break;
      case FieldLineFault::kTooFewTokens:
        faultReason = kTextCheckTooFewTokens;
        break;
      case FieldLineFault::kNameTooLong:
        faultReason = kTextCheckNameTooLong;
        break;
      case FieldLineFault::kTypeToken:
        faultReason = kTextCheckUnknownType;
        break;
      case FieldLineFault::kLength:
        faultReason = kTextCheckBadLength;
        break;
      case FieldLineFault::kRecordTooLong:
        // Said once: every later field is past the limit as well.
        if (!recordTooLong_) faultReason = kTextCheckRecordTooLong;
        recordTooLong_ = true;
        break;
    }
    if (reason == nullptr) reason = faultReason;
    if (fault != FieldLineFault::kNone) {
      if (reason != nullptr) Finding(number, shown, reason);
      return;
    }
    if (reason == nullptr && !IsListedTypeCode(field.type)) reason = kTextCheckUnlistedType;
    if (reason == nullptr && field.size == 0) reason = kTextCheckZeroLength;
    if (list_->count == kMaxFields) {
      if (reason == nullptr && !tooManyFields_) reason = kTextCheckTooManyFields;
      tooManyFields_ = true;
    }
    if (reason != nullptr) Finding(number, shown, reason);
    if (tooManyFields_) return;
    // Later fields start where the conversion would put them.
    offset_ += field.size;
    list_->fields.push_back(field);
    ++list_->count;
    listed_->push_back(ListedField{number, shown});
  }

  void Finish() {
    if (!started_ && earlyCount_ > 0) {
      Finding(early_[0].line, early_[0].shown, kTextCheckNoPcfoBefore);
    } else if (!started_) {
      report_->Add(Format(kTextCheckFileFormat, {fileName_, kTextCheckNoPcfo}));
    } else if (!sawLine_) {
      report_->Add(Format(kTextCheckFileFormat, {fileName_, kTextCheckNoFields}));
    }
  }

 private:
  void Finding(int number, const std::string& shown, const char* reason) {
    report_->Add(Format(kTextCheckLineFormat, {fileName_, Number(number), reason, shown}));
  }

  const char* fileName_;
  Report* report_;
  FieldList* list_;
  std::vector<ListedField>* listed_;
  bool started_ = false;
  bool sawLine_ = false;  // a line after the PCFO line
  std::vector<ListedField> early_;  // PCFL lines before any PCFO line, the first of them
  int earlyCount_ = 0;
  int32_t offset_ = 0;
  bool recordTooLong_ = false;
  bool tooManyFields_ = false;
};

// Reads the list as the conversion does (text mode, 2999-byte pieces) and
// hands ListCheck each line; a longer line once, with the rest of it left
// out. False when it could not be read to its end.
bool ReadList(FILE* fdf, ListCheck* check, Report* report, const char* fileName) {
  char piece[kFdfLineSize];
  int number = 0;
  int pieces = 0;
  bool inLongLine = false;  // the rest of a line already handed over
  while (std::fgets(piece, sizeof piece, fdf) != nullptr) {
    // Counted by the piece: a piece of zero bytes shows no length.
    if (++pieces > kMaxListLines) {
      report->Add(Format(kTextCheckFileFormat, {fileName, kTextCheckListTooLarge}));
      return true;
    }
    const size_t n = std::strlen(piece);
    const bool ended = n > 0 && piece[n - 1] == '\n';
    if (inLongLine) {
      inLongLine = !ended;
      continue;
    }
    ++number;
    if (ended) {
      piece[n - 1] = '\0';
      check->Line(piece, number, false);
      continue;
    }
    // A piece without its line feed: the last line, or one longer than the
    // conversion reads.
    const int next = std::fgetc(fdf);
    if (next == EOF) {
      check->Line(piece, number, false);
      break;
    }
    std::ungetc(next, fdf);
    inLongLine = n == static_cast<size_t>(kFdfLineSize - 1);
    check->Line(piece, number, inLongLine);
  }
  return std::ferror(fdf) == 0;
}

// True when the bytes are what the host stores for kind: packed digits 0-9
// and a sign nibble A-F; zoned bytes F0-F9 and a last byte whose zone is a
// sign (A-F). Other kinds take any bytes here; their put function counts
// what it cannot convert.
bool HostFormValid(FieldKind kind, const unsigned char* bytes, int length) {
  if (length <= 0) return true;
  if (kind == FieldKind::kPacked) {
    for (int k = 0; k < length - 1; ++k) {
      if ((bytes[k] >> 4) > 9 || (bytes[k] & 0x0F) > 9) return false;
    }
    return (bytes[length - 1] >> 4) <= 9 && (bytes[length - 1] & 0x0F) >= 0xA;
  }
  if (kind == FieldKind::kZoned) {
    for (int k = 0; k < length - 1; ++k) {
      if ((bytes[k] >> 4) != 0xF || (bytes[k] & 0x0F) > 9) return false;
    }
    return (bytes[length - 1] >> 4) >= 0xA && (bytes[length - 1] & 0x0F) <= 9;
  }
  return true;
}

// The share bad / total (total > 0) in percent with one decimal; never 0.0
// for some, never 100.0 for less than all.
std::string Percent(int64_t bad, int64_t total) {
  int64_t tenths = (bad * 1000 + total - 1) / total;
  if (bad < total && tenths >= 1000) tenths = 999;
  return Number(tenths / 10) + "." + Number(tenths % 10);
}

// The record length other than length that the image's size fits and that
// is nearest to it (a byte or a few more or fewer), or 0 when none within 16
// bytes does.
size_t NearestOtherFittingLength(uint64_t size, size_t length) {
  for (size_t d = 1; d <= 16; ++d) {
    if (length + d <= static_cast<size_t>(kMaxRecordLength) && size % (length + d) == 0) return length + d;
    if (d < length && size % (length - d) == 0) return length - d;
  }
  return 0;
}

// The fields of one record whose value is not valid for its type, each
// counted in bad (when given); returns their number.
class RecordCheck {
 public:
  RecordCheck(const FieldList& list, const CodeTables& tables, const char* name) : list_(list) {
    size_t room = 16;
    for (const FieldDescriptor& field : list.fields) room = std::max(room, MaxValueBytes(field) + 16);
    value_.resize(room);
    codes_.Start(name, nullptr);
    with_ = DecodeContext{&tables, &codes_};
  }
  RecordCheck(const RecordCheck&) = delete;
  RecordCheck& operator=(const RecordCheck&) = delete;

  int Invalid(const char* record, int64_t* bad) {
    int invalid = 0;
    for (int i = 0; i < list_.count; ++i) {
      const FieldDescriptor& field = list_.fields[static_cast<size_t>(i)];
      const FieldType& row = FieldTypeOf(field.type);
      int32_t errors = 0;
      row.put(value_.data(), field, record, with_, &errors, false);
      const unsigned char* bytes = reinterpret_cast<const unsigned char*>(record + field.offset);
      if (errors > 0 || !HostFormValid(row.kind, bytes, field.length)) {
        ++invalid;
        if (bad != nullptr) ++bad[i];
      }
    }
    return invalid;
  }

 private:
  const FieldList& list_;
  std::vector<char> value_;
  CodeErrorReport codes_;
  DecodeContext with_{nullptr, nullptr};
};

// Invalid values per record of the records at stride in [data, data + have)
// whose fields (span bytes) are there, as the fraction *invalid / *records.
void SampleAt(RecordCheck* check, const char* data, size_t have, size_t stride, size_t span,
              int64_t* invalid, int64_t* records) {
  *invalid = 0;
  *records = 0;
  for (size_t at = 0; at + span <= have; at += stride) {
    *invalid += check->Invalid(data + at, nullptr);
    ++*records;
  }
}

// Reads until block is full or the file ends; the bytes read.
size_t ReadFull(FILE* file, char* block, size_t size) {
  size_t have = 0;
  while (have < size) {
    const size_t n = std::fread(block + have, 1, size - have, file);
    if (n == 0) break;
    have += n;
  }
  return have;
}

// The image against the list: its size, then every field's share of
// records whose value is not valid for its type. When the size is a
// multiple of a record length a few bytes off the list's, and the records at
// that length hold fewer invalid values (whether or not the size fits the
// list's length too), they are taken at that length: each record then starts where the host wrote it, and the fields
// from the first one the list puts a byte off are the ones that go wrong (at
// the list's length every record would start further off than the one
// before it). An image that is only cut keeps the list's length.
void CheckImage(const char* imagePath, const FieldList& list, const std::vector<ListedField>& listed,
                const char* listName, const CodeTables& tables, Report* report) {
  const char* imageName = imagePath + FileNameStart(imagePath);
  const size_t length = static_cast<size_t>(list.recordLength());
  if (length == 0) return;  // every field of 0 bytes, each a finding already
  FILE* image = OpenStream(imagePath, "rb");
  if (image == nullptr) {
    report->Add(Format(kTextCheckFileFormat, {imageName, kTextCheckOpenFailed}));
    return;
  }
  FileInfo info;
  const bool sizeKnown = FileInfoOf(imagePath, &info) && !info.isDirectory;
  size_t fitting = sizeKnown ? NearestOtherFittingLength(info.size, length) : 0;
  if (fitting == 0) fitting = length;
  // A block holds at least two records at either length.
  std::vector<char> block(std::max(kImageBlockSize, 2 * std::max(fitting, length)));
  RecordCheck check(list, tables, imageName);
  std::vector<int64_t> bad(static_cast<size_t>(list.count), 0);

  size_t have = ReadFull(image, block.data(), block.size());
  uint64_t bytesRead = have;
  size_t stride = length;
  if (fitting != length) {
    int64_t invalidHere = 0, recordsHere = 0, invalidThere = 0, recordsThere = 0;
    SampleAt(&check, block.data(), have, length, length, &invalidHere, &recordsHere);
    SampleAt(&check, block.data(), have, fitting, std::max(fitting, length), &invalidThere, &recordsThere);
    // A size that fits the list's length too proves nothing (a list a byte
    // off fits by chance); the records' values decide, and a right list's
    // records are clean at its own length.
    if (recordsThere > 0 && (recordsHere == 0 || invalidThere * recordsHere < invalidHere * recordsThere)) {
      stride = fitting;
    }
  }
  const size_t span = std::max(stride, length);  // the bytes a record's fields are read from

  int64_t records = 0;
  uint64_t values = 0;
  bool stopped = false;  // at the limit, before the end
  for (;;) {
    size_t at = 0;
    for (; at + span <= have; at += stride) {
      if (values >= kMaxCheckedValues || bytesRead - have + at >= kMaxCheckedBytes) {
        stopped = true;
        break;
      }
      check.Invalid(block.data() + at, bad.data());
      ++records;
      values += static_cast<uint64_t>(list.count);
    }
    if (stopped || std::feof(image) || std::ferror(image)) break;
    std::memmove(block.data(), block.data() + at, have - at);
    have -= at;
    const size_t n = ReadFull(image, block.data() + have, block.size() - have);
    bytesRead += n;
    have += n;
    if (n == 0) break;
  }
  const bool readFailed = std::ferror(image) != 0;
  std::fclose(image);
  if (readFailed) {
    report->Add(Format(kTextCheckFileFormat, {imageName, kTextCheckReadFailed}));
    return;
  }

  const uint64_t size = sizeKnown ? info.size : bytesRead;
  if ((sizeKnown || !stopped) && size % length != 0) {
    report->Add(Format(kTextCheckSizeFormat, {imageName, Number(static_cast<int64_t>(size)),
                                              Number(static_cast<int64_t>(length)),
                                              Number(static_cast<int64_t>(size % length))}));
  }
  if (stride != length) {
    report->Add(Format(kTextCheckFittingLengthFormat, {imageName, Number(static_cast<int64_t>(stride))}),
                false);
  }
  for (int i = 0; i < list.count; ++i) {
    const int64_t count = bad[static_cast<size_t>(i)];
    if (count == 0) continue;
    const ListedField& where = listed[static_cast<size_t>(i)];
    report->Add(Format(kTextCheckFieldFormat, {listName, Number(where.line), Number(records), Number(count),
                                               Percent(count, records), where.shown}));
  }
  if (stopped) report->Add(Format(kTextCheckFirstRecordsFormat, {imageName, Number(records)}), false);
}

}  // namespace

int CheckFieldListAndImage(const char* fdfPath, const char* imagePath, const CodeTables& tables,
                           std::string* report) {
  Report lines(report);
  const char* listName = fdfPath + FileNameStart(fdfPath);
  FieldList list;
  std::vector<ListedField> listed;
  FILE* fdf = OpenStream(fdfPath, "r");
  if (fdf == nullptr) {
    lines.Add(Format(kTextCheckFileFormat, {listName, kTextCheckOpenFailed}));
    lines.Finish();
    return lines.findings();
  }
  ListCheck check(listName, &lines, &list, &listed);
  const bool read = ReadList(fdf, &check, &lines, listName);
  std::fclose(fdf);
  if (!read) {
    lines.Add(Format(kTextCheckFileFormat, {listName, kTextCheckReadFailed}));
  } else {
    check.Finish();
  }
  if (imagePath != nullptr) {
    if (lines.findings() == 0) {
      CheckImage(imagePath, list, listed, listName, tables, &lines);
    } else {
      lines.Add(Format(kTextCheckFileFormat, {imagePath + FileNameStart(imagePath), kTextCheckListFaulty}),
                false);
    }
  }
  lines.Finish();
  return lines.findings();
}
