#include "convert/to_csv.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "base/error_text.h"
#include "base/path.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/texts.h"
#include "convert/block_io.h"
#include "convert/csv_encoding.h"
#include "convert/decoders.h"
#include "convert/field_decode.h"
#include "convert/field_list.h"
#include "convert/value_format.h"
#include "platform/fileio.h"
#include "platform/stream.h"

namespace {

constexpr int kPathSize = 3000;
constexpr int kStatusSize = 256;
constexpr int kMaxNameLength = 200;   // the status text must fit its 256 bytes
constexpr int kShownNameLength = 40;  // of a refused name, in its error line
constexpr int kStatusEvery = 100;

// Images of gigabytes are read and written in large blocks: records are cut
// from the image block and rows collected in the output block, so the file
// system sees few large calls and memory does not grow with the file. The
// output block is small enough that a file of a few megabytes is written
// (and turned into UTF-8) while it is still being converted.
constexpr size_t kImageBlockSize = 1u << 18;
constexpr size_t kOutBlockSize = 1u << 18;

// The blocks of one conversion, sized by its field list: made once per file,
// never per record.
// - Two image blocks, read in turn: one is read ahead while the records of
//   the other are converted. The start of a record that spans two blocks is
//   moved into the margin (a record long) in front of the next one.
// - Two output blocks, filled in turn: one is written by the block writer
//   while rows go into the other. A row is started only while less than
//   kOutBlockSize is pending, so the margin (the longest row) holds any row.
// - A block in UTF-8, made on the writer's thread: the conversion costs the
//   converting thread nothing.
struct Blocks {
  size_t margin;   // in front of each image block
  size_t outSize;  // each output block, with its margin
  std::unique_ptr<char[]> image[2];
  std::unique_ptr<char[]> out[2];
  std::unique_ptr<char[]> utf8;

  // False when memory for them cannot be had.
  bool Make(const FieldList& list, bool inUtf8) {
    size_t row = 24 + 2;  // the record number, the line end
    for (int i = 0; i < list.count; ++i) row += 1 + MaxValueBytes(list.fields[i]);
    margin = static_cast<size_t>(list.recordLength());
    outSize = kOutBlockSize + row;
    for (int k = 0; k < 2; ++k) {
      // Not zeroed: every byte is written before it is read.
      image[k].reset(new (std::nothrow) char[margin + kImageBlockSize]);
      out[k].reset(new (std::nothrow) char[outSize]);
      if (!image[k] || !out[k]) return false;
    }
    if (inUtf8) {
      utf8.reset(new (std::nothrow) char[outSize * kUtf8Growth + 8]);
      if (!utf8) return false;
    }
    return true;
  }
};

// The record number of the ID column as decimal text, counted up in place
// rather than formatted anew for every row.
class RowNumber {
 public:
  RowNumber() {
    digits_[kEnd - 1] = '0';
    start_ = kEnd - 1;
  }
  void Next() {
    int k = kEnd - 1;
    while (k >= start_ && digits_[k] == '9') digits_[k--] = '0';
    if (k >= start_) {
      ++digits_[k];
    } else {
      digits_[--start_] = '1';  // the row counter never reaches 20 digits
    }
  }
  char* Put(char* o) const { return PutText(o, digits_ + start_, static_cast<size_t>(kEnd - start_)); }

 private:
  static constexpr int kEnd = 24;
  char digits_[kEnd];  // the number right-aligned, digits_[start_..kEnd)
  int start_;
};

// <program folder>[<subFolder><sep>]<name><extension> into path. False when
// it does not fit.
bool BuildPath(char* path, const char* programFolder, const char* subFolder, const char* name,
               const char* extension) {
  bool fits = CopyText(path, kPathSize, programFolder);
  if (subFolder[0] != '\0') {
    const char sep[2] = {kPathSep, '\0'};
    fits = fits && AppendText(path, kPathSize, subFolder) && AppendText(path, kPathSize, sep);
  }
  return fits && AppendText(path, kPathSize, name) && AppendText(path, kPathSize, extension);
}

// "<name>：レコード数 <records>", with " (Shift-JIS 変換ｴﾗｰ <total>)" when
// errors were counted.
void BuildStatus(char* status, const char* name, int64_t records, int32_t errorTotal) {
  char number[24];
  CopyText(status, kStatusSize, name);
  AppendText(status, kStatusSize, kTextRecordCount);
  *PutInt64(number, records) = '\0';
  AppendText(status, kStatusSize, number);
  if (errorTotal != 0) {
    AppendText(status, kStatusSize, kTextErrorCountOpen);
    *PutInt64(number, errorTotal) = '\0';
    AppendText(status, kStatusSize, number);
    AppendText(status, kStatusSize, ")");
  }
}

enum class RecordsEnd { kDone, kCancelled, kPartial, kReadFailed, kWriteFailed, kNoMemory };

// The conversion of one file's records: its fields, where its rows go, and
// what it has counted.
struct RecordRun {
  const FieldList& list;
  const DecodeContext& decode;
  Progress* progress;
  const char* name;      // in the status text
  bool utf8;             // rows in UTF-8, not Shift-JIS
  int32_t errorTotal;    // -1 once cancelled
  int64_t records;       // rows written
};

// Converts every record of image into rows of csv.
RecordsEnd ConvertRecords(FILE* image, FILE* csv, RecordRun* run) {
  Blocks blocks;
  if (!blocks.Make(run->list, run->utf8)) return RecordsEnd::kNoMemory;
  const FieldDescriptor* fields = run->list.fields.data();
  const int fieldCount = run->list.count;
  int64_t& records = run->records;
  int32_t& errorTotal = run->errorTotal;
  BlockWriter writer(csv, run->utf8 ? Utf8Block : nullptr, blocks.utf8.get());
  int filling = 0;
  char* block = blocks.out[filling].get();
  char* o = block;
  // The counts at the end of the block handed over last: a failed write is
  // learnt one block late, and the summary then counts as if the conversion
  // had stopped at the block that failed, as a write in place would.
  int64_t recordsSubmitted = 0;
  int32_t errorsSubmitted = 0;
  auto writeFailed = [&]() {
    records = recordsSubmitted;
    run->decode.report->SetRecordsWritten(static_cast<int32_t>(static_cast<uint32_t>(records)));
    if (errorTotal != -1) errorTotal = errorsSubmitted;  // a cancel stays a cancel
    return RecordsEnd::kWriteFailed;
  };
  auto submit = [&]() {
    const bool ok = writer.Submit(block, static_cast<size_t>(o - block));
    if (ok) {
      recordsSubmitted = records;
      errorsSubmitted = errorTotal;
      filling ^= 1;
      block = blocks.out[filling].get();
      o = block;
    }
    return ok;
  };
  // The image bytes at hand are [data + pos, data + have).
  BlockReader reader(image);
  int reading = 0;
  reader.Start(blocks.image[reading].get() + blocks.margin, kImageBlockSize);
  const char* data = nullptr;
  size_t have = 0;
  size_t pos = 0;
  bool atEnd = false;
  RecordsEnd result = RecordsEnd::kDone;
  const size_t length = static_cast<size_t>(run->list.recordLength());
  RowNumber rowNumber;
  for (;;) {
    if (have - pos < length && !atEnd) {
      bool failed = false;
      const size_t n = reader.Wait(&failed);
      char* fresh = blocks.image[reading].get() + blocks.margin;
      const size_t rest = have - pos;  // less than a record
      if (rest > 0) std::memcpy(fresh - rest, data + pos, rest);
      data = fresh - rest;
      have = rest + n;
      pos = 0;
      if (failed) {
        result = RecordsEnd::kReadFailed;
        break;
      }
      if (n < kImageBlockSize) {
        atEnd = true;  // blocks are read until full or the end
      } else {
        reading ^= 1;  // the block before is done with: read into it
        reader.Start(blocks.image[reading].get() + blocks.margin, kImageBlockSize);
      }
    }
    const size_t available = have - pos;
    if (available == 0 || length == 0) break;
    if (available < length) {
      result = RecordsEnd::kPartial;
      break;
    }
    const char* record = data + pos;
    pos += length;

    rowNumber.Next();
    o = rowNumber.Put(o);
    for (int i = 0; i < fieldCount; ++i) {
      *o++ = ',';
      o = PutField(o, fields[i], record, run->decode, &errorTotal, run->utf8);
    }
    *o++ = '\n';
    ++records;
    run->decode.report->SetRecordsWritten(static_cast<int32_t>(static_cast<uint32_t>(records)));
    if (o - block >= static_cast<ptrdiff_t>(kOutBlockSize) && !submit()) return writeFailed();
    if (records % kStatusEvery == 0) {
      char status[kStatusSize];
      BuildStatus(status, run->name, records, errorTotal);
      if (run->progress->Update(kTextConvertCaption, status) != 0) {
        errorTotal = -1;
        result = RecordsEnd::kCancelled;
        break;
      }
    }
  }
  if (!submit()) return writeFailed();
  if (!writer.Finish()) return writeFailed();
  return result;
}

// The header row: "ID" and every field's name, each in double quotes; in a
// UTF-8 file after its byte-order mark, when it has one.
bool WriteHeader(FILE* csv, const FieldList& list, CsvEncoding encoding) {
  bool written = encoding != CsvEncoding::kUtf8Bom || std::fputs(kUtf8Bom, csv) >= 0;
  written = written && std::fputs("\"ID\"", csv) >= 0;
  for (int i = 0; i < list.count && written; ++i) {
    const char* name = list.fields[i].name;
    char utf8[kFieldNameSize * kUtf8Growth + 8];
    if (encoding != CsvEncoding::kShiftJis) {
      *PutUtf8(utf8, name, std::strlen(name)) = '\0';
      name = utf8;
    }
    written = std::fputs(",\"", csv) >= 0 && std::fputs(name, csv) >= 0 && std::fputc('"', csv) != EOF;
  }
  return written && std::fputc('\n', csv) != EOF;
}

// The encoding the settings ask for the CSV files (key CsvEncoding).
CsvEncoding ReadCsvEncoding(const Settings& settings) {
  char value[kPathBufferSize];
  CopySetting(value, sizeof value, settings.csvEncoding);
  return CsvEncodingOf(value);
}

}  // namespace

int toCSV(const Conversion& with, const char* subFolder, const char* name,
          ConversionCounts* counts) {
  if (subFolder == nullptr) subFolder = "";
  if (name == nullptr) name = "";
  const char* folder = with.job.programFolder;
  ErrorText& errors = *with.job.errors;

  // A name the status text cannot hold is refused; it is shown cut.
  char shownName[kStatusSize];
  const bool nameTooLong = std::strlen(name) > static_cast<size_t>(kMaxNameLength);
  if (nameTooLong) {
    CopyText(shownName, kShownNameLength + 1, name);
    AppendText(shownName, sizeof shownName, "...");
  } else {
    CopyText(shownName, sizeof shownName, name);
  }

  CodeErrorReport report;
  report.Start(shownName, with.codeErrorRows);
  const DecodeContext decode{with.tables, &report};
  FieldList list;
  list.count = 0;
  const CsvEncoding encoding = ReadCsvEncoding(*with.job.settings);
  RecordRun run{list, decode, with.progress, shownName, encoding != CsvEncoding::kShiftJis, 0, 0};
  int32_t recordLength = 0;
  FILE* image = nullptr;
  FILE* csv = nullptr;
  char csvPath[kPathSize];
  char csvTemp[kTempPathSize];
  bool csvWhole = false;  // every row the image holds was written

  if (nameTooLong) {
    errors.AppendLine(shownName, kTextNameTooLongToCsv);
  } else if (encoding == CsvEncoding::kInvalid) {
    // A typo must not give a file in an encoding nobody asked for. The
    // settings' reader told it once, at the start of the run.
  } else {
    FieldDescription read;
    const FieldDescription* description = with.description;
    if (description == nullptr) {
      char path[kPathSize];
      if (BuildPath(path, folder, "", name, ".fdf")) ReadFieldDescription(path, &read);
      description = &read;
    }
    bool fieldsRead = false;
    if (!description->opened) {
      errors.AppendLine(name, kTextFdfOpenFailed);
    } else {
      fieldsRead = description->valid;
      if (fieldsRead) list = description->list;
      if (!fieldsRead) errors.AppendLine(name, kTextFdfMalformed);
    }

    if (fieldsRead) {
      // Only read: a read-only or immutable image converts, and a link at
      // its name is not followed.
      char imagePath[kPathSize];
      bool isLink = false;
      if (BuildPath(imagePath, folder, subFolder, name, ".db2")) {
        image = OpenReadOnlyStream(imagePath, &isLink);
      }
      if (image == nullptr) errors.AppendLine(name, isLink ? kTextDb2IsLink : kTextDb2OpenFailed);
    }
    // The CSV is written beside its place and replaces the previous one
    // only when whole; a link at its name is not written through.
    FileInfo there;
    if (image != nullptr && (!BuildPath(csvPath, folder, subFolder, name, ".csv") ||
                             (FileInfoOf(csvPath, &there) && there.isDirectory))) {
      errors.AppendLine(name, kTextCsvOpenFailed);
    } else if (image != nullptr && PathIsLink(csvPath)) {
      errors.AppendLine(name, kTextCsvIsLink);
    } else if (image != nullptr) {
      csv = OpenTempStream(csvPath, "w", csvTemp, sizeof csvTemp);
      if (csv == nullptr) errors.AppendLine(name, kTextCsvOpenFailed);
    }
    if (csv != nullptr) {
      recordLength = list.recordLength();
      RecordsEnd end = RecordsEnd::kWriteFailed;
      if (WriteHeader(csv, list, encoding)) end = ConvertRecords(image, csv, &run);
      if (end == RecordsEnd::kPartial) {
        errors.AppendLine(name, kTextSizeMismatch);
      } else if (end == RecordsEnd::kReadFailed) {
        errors.AppendLine(name, kTextDb2ReadFailed);
      } else if (end == RecordsEnd::kWriteFailed || end == RecordsEnd::kNoMemory) {
        errors.AppendLine(name, kTextCsvWriteFailed);
      }
      // Rows up to a cut record at the end are the image's whole content,
      // as before; a failure or a cancel keeps the previous CSV.
      csvWhole = end == RecordsEnd::kDone || end == RecordsEnd::kPartial;
    }
  }

  char status[kStatusSize];
  BuildStatus(status, shownName, run.records, run.errorTotal);
  with.progress->Update(kTextConvertCaption, status);

  if (image != nullptr) std::fclose(image);
  bool csvWritten = false;
  if (csv != nullptr && !csvWhole) {
    DiscardTempStream(csv, csvTemp);
  } else if (csv != nullptr && !CommitTempStream(csv, csvTemp, csvPath)) {
    // It did not reach the disk whole, or could not take the CSV's place.
    errors.AppendLine(name, kTextCsvWriteFailed);
  } else if (csv != nullptr) {
    csvWritten = true;
  }
  if (counts != nullptr) {
    counts->csvWritten = csvWritten;
    counts->recordLength = recordLength;
    counts->doubleByteErrors = report.doubleByteErrors();
    counts->singleByteErrors = report.singleByteErrors();
  }
  return run.errorTotal;
}
