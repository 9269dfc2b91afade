#include "convert/to_csv.h"

#include <cstddef>
#include <cstring>

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
#include "platform/process.h"
#include "platform/stream.h"

namespace {

constexpr int kPathSize = 3000;
constexpr int kStatusSize = 256;
constexpr int kMaxNameLength = 200;   // the status text must fit its 256 bytes
constexpr int kShownNameLength = 40;  // of a refused name, in its error line

// Images of gigabytes are converted in jobs of whole records (convert/
// block_io's ring): each job's image is at most kJobImageBytes and its rows
// at most kJobOutBytes (in the CSV's encoding), so the file system sees few
// large calls, a job is worth a thread switch, and memory does not grow
// with the file. A file of a few megabytes is still several jobs, so it is
// converted on more than one core.
constexpr size_t kJobImageBytes = 1u << 18;
constexpr size_t kJobOutBytes = 1u << 19;

// The most bytes a row of list takes: the record number, every field's
// longest value with its comma, the line end.
size_t LongestRow(const FieldList& list) {
  size_t row = 24 + 2;
  for (int i = 0; i < list.count; ++i) row += 1 + MaxValueBytes(list.fields[i]);
  return row;
}

// The jobs of a conversion, sized by its field list (once per file).
// Rows in UTF-8 are made in Shift-JIS in the worker's scratch block and
// turned into UTF-8 in the job's output block, still on the worker.
RingShape ShapeOf(const FieldList& list, bool utf8, int workers) {
  const size_t length = static_cast<size_t>(list.recordLength());
  const size_t row = LongestRow(list);
  const size_t growth = utf8 ? kUtf8Growth : 1;
  size_t records = kJobImageBytes / length;
  if (records > kJobOutBytes / growth / row) records = kJobOutBytes / growth / row;
  if (records == 0) records = 1;  // one long record is a job of its own
  RingShape shape;
  shape.recordLength = length;
  shape.recordsPerJob = static_cast<int32_t>(records);
  shape.scratchBytes = utf8 ? records * row : 0;
  shape.outBytes = records * row * growth + 8;
  shape.workers = workers;
  return shape;
}

// The record number of the ID column as decimal text, counted up in place
// rather than formatted anew for every row.
class RowNumber {
 public:
  // Starts at first (the number of the row before).
  explicit RowNumber(int64_t first) {
    char text[kEnd];
    const size_t n = static_cast<size_t>(PutInt64(text, first) - text);
    start_ = kEnd - static_cast<int>(n);
    std::memcpy(digits_ + start_, text, n);
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

// What every worker of a conversion reads, never writes.
struct RowWork {
  const FieldList& list;
  const CodeTables* tables;
  bool utf8;  // rows in UTF-8, not Shift-JIS
};

// Converts the records of one job into its rows (a JobConverter): runs on
// a worker, and touches only the job and the worker's scratch.
void ConvertJobRows(RingJob* job, char* scratch, const void* context) {
  const RowWork& work = *static_cast<const RowWork*>(context);
  const DecodeContext decode{work.tables, &job->report};
  const FieldDescriptor* fields = work.list.fields.data();
  const int fieldCount = work.list.count;
  const size_t length = static_cast<size_t>(work.list.recordLength());
  const bool utf8 = work.utf8;
  char* const rows = utf8 ? scratch : job->out;
  char* o = rows;
  const char* record = job->image;
  int32_t errors = 0;
  int64_t number = job->firstRecord;  // rows before this one
  int64_t untilStatus = kStatusEvery - number % kStatusEvery;
  RowNumber rowNumber(number);
  for (int32_t r = 0; r < job->records; ++r, record += length) {
    job->report.SetRecordsWritten(static_cast<int32_t>(static_cast<uint32_t>(number)));
    rowNumber.Next();
    o = rowNumber.Put(o);
    for (int i = 0; i < fieldCount; ++i) {
      *o++ = ',';
      o = PutField(o, fields[i], record, decode, &errors, utf8);
    }
    *o++ = '\n';
    ++number;
    if (--untilStatus == 0) {
      job->status[job->statusCount++] =
          StatusPoint{errors, job->report.doubleByteErrors(), job->report.singleByteErrors()};
      untilStatus = kStatusEvery;
    }
  }
  job->errors = errors;
  job->outBytes = utf8 ? Utf8Block(rows, static_cast<size_t>(o - rows), job->out) : static_cast<size_t>(o - rows);
}

// The conversion of one file's records: its fields, where its reports go,
// and what it has counted. Only toCSV's thread touches it.
struct RecordRun {
  const FieldList& list;
  const CodeTables* tables;
  CodeErrorReport* report;  // the file's: CodeErr.csv's rows and the counts
  Progress* progress;
  const char* name;      // in the status text
  bool utf8;             // rows in UTF-8, not Shift-JIS
  int workers;           // converting threads
  int32_t errorTotal;    // -1 once cancelled
  int64_t records;       // rows written
};

int32_t Sum(int32_t a, int32_t b) {
  AddErrors(&a, b);
  return a;
}

// Converts every record of image into rows of csv: the ring converts the
// jobs, and this thread, in record order, shows each job's status points,
// adds its code errors to the file's report and writes its rows.
RecordsEnd ConvertRecords(FILE* image, FILE* csv, RecordRun* run) {
  if (run->list.recordLength() <= 0) return RecordsEnd::kDone;
  const RowWork work{run->list, run->tables, run->utf8};
  RecordRing ring;
  ring.Start(image, ShapeOf(run->list, run->utf8, run->workers), ConvertJobRows, &work);
  RecordsEnd result = RecordsEnd::kDone;
  int64_t& records = run->records;
  int32_t& errorTotal = run->errorTotal;
  uint64_t writeBackStarted = 0;
  while (RingJob* job = ring.Next()) {
    if (job->failure == RingJob::Failure::kReadFailed) {
      result = RecordsEnd::kReadFailed;
      break;
    }
    if (job->failure == RingJob::Failure::kNoMemory) {
      result = RecordsEnd::kNoMemory;
      break;
    }
    int64_t at = (job->firstRecord / kStatusEvery + 1) * kStatusEvery;
    for (int32_t i = 0; i < job->statusCount; ++i, at += kStatusEvery) {
      const StatusPoint& point = job->status[i];
      char status[kStatusSize];
      BuildStatus(status, run->name, at, Sum(errorTotal, point.errors));
      if (run->progress->Update(kTextConvertCaption, status) != 0) {
        // As if converted up to here and no further.
        run->report->Append(job->report, point.doubleByte, point.singleByte);
        records = at;
        errorTotal = -1;
        result = RecordsEnd::kCancelled;
        break;
      }
    }
    if (result == RecordsEnd::kCancelled) break;
    run->report->Append(job->report, job->report.doubleByteErrors(), job->report.singleByteErrors());
    if (job->outBytes != 0 && std::fwrite(job->out, 1, job->outBytes, csv) != job->outBytes) {
      result = RecordsEnd::kWriteFailed;
      break;
    }
    // The disk starts on the rows at once, so the flush before the CSV
    // takes its place finds little left.
    StreamStartWriteBack(csv, &writeBackStarted);
    records += job->records;
    AddErrors(&errorTotal, job->errors);
    if (job->partial) result = RecordsEnd::kPartial;
    ring.Release();
  }
  ring.Stop();
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

// The converting threads the settings ask for (key Workers, 0 to
// kMaxWorkers; the settings' reader told a bad value and made it 1): 0 is one
// per processor this process may run on, at most kMaxWorkers.
int ReadWorkers(const Settings& settings) {
  if (settings.workers > 0) return settings.workers < kMaxWorkers ? settings.workers : kMaxWorkers;
  const int processors = ProcessorCount();
  return processors < kMaxWorkers ? processors : kMaxWorkers;
}

// The encoding the settings ask for the CSV files (key CsvEncoding).
CsvEncoding ReadCsvEncoding(const Settings& settings) {
  char value[kPathBufferSize];
  CopySetting(value, sizeof value, settings.csvEncoding);
  return CsvEncodingOf(value);
}

}  // namespace

int32_t RecordsPerJob(const FieldList& list, bool utf8) { return ShapeOf(list, utf8, 1).recordsPerJob; }

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
  FieldList list;
  list.count = 0;
  const CsvEncoding encoding = ReadCsvEncoding(*with.job.settings);
  RecordRun run{list,       with.tables, &report, with.progress, shownName, encoding != CsvEncoding::kShiftJis,
                ReadWorkers(*with.job.settings), 0, 0};
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
