#pragma once
// The field decoders, which turn host field bytes into Shift-JIS text, and
// the report of the codes they could not convert.
#include <cstdint>
#include <cstdio>

#include "convert/code_tables.h"

constexpr int kCodeErrorRowLimit = 100;
constexpr int kReportNameSize = 256;

// The codes of one file that the decoders could not convert: counted per
// kind, and the first 100 of them (both kinds together, in input order)
// written as rows "<file name>,<record number>,0x<code>" (Unicode
// characters "U+<code>") when a report file
// (CodeErr.csv) is open. The counters stop at INT32_MAX.
class CodeErrorReport {
 public:
  // Starts a file: counters 0, name for the rows, rows the open report file
  // or null.
  void Start(const char* name, FILE* rows);
  // Starts the report of one job of a file (a range of its records, converted
  // on a thread of its own): counters 0, and its first rows kept in memory
  // until the file's report takes them (Append), in record order.
  void StartJob();
  // Adds a job's errors, as far as it had counted doubleByte and singleByte
  // of them, to this file's report: the counts, and the rows of those that
  // are among the file's first 100.
  void Append(const CodeErrorReport& job, int32_t doubleByte, int32_t singleByte);
  // Records of the file already written: the row of an error names the
  // record after them.
  void SetRecordsWritten(int32_t records) { records_ = records; }
  int32_t doubleByteErrors() const { return doubleByte_; }
  int32_t singleByteErrors() const { return singleByte_; }

  void DoubleByteError(unsigned code);
  void SingleByteError(unsigned code);
  // A Unicode character that Shift-JIS cannot show (or half a surrogate
  // pair): counted as a double-byte error, its row's code "U+XXXX".
  void UnicodeError(unsigned codePoint);

 private:
  void Row(const char* format, unsigned code);

  // A row of a job's report: its format, record and code.
  struct KeptRow {
    const char* format;
    int32_t record;
    unsigned code;
  };

  char name_[kReportNameSize] = {};
  FILE* rows_ = nullptr;
  int32_t records_ = 0;
  int32_t doubleByte_ = 0;
  int32_t singleByte_ = 0;
  bool keep_ = false;  // a job's report: rows go to kept_
  int keptCount_ = 0;
  KeptRow kept_[kCodeErrorRowLimit];
};

// What the decoders of one file work with.
struct DecodeContext {
  const CodeTables* tables;
  CodeErrorReport* report;
};

// The longest text field: the host's longest record.
constexpr int kMaxTextFieldLength = 32766;

// Each decoder takes a field's bytes and a separate destination, writes
// zero-terminated Shift-JIS text and returns its count of errors. Lengths
// outside the documented ranges are clamped (below 0 to 0, above the
// maximum to the maximum), never overrun. Nothing is allocated.

// length 0-32766, dst of length + 1 bytes: writes exactly length bytes and a
// zero byte; returns the characters that got the substitution pair. An odd
// length pairs the last byte with a zero byte (taken as 0, not read).
int ConvertDoubleByteRun(const char* src, int length, char* dst, const DecodeContext& with);
// length 0-32766, dst of 2 * length + 1 bytes (doubled quotation marks make
// the text longer than the field; it is never cut). A shift-out run with an
// odd byte count loses its last byte. Returns unconvertible codes,
// single-byte and double-byte together. src is not written to. textLength,
// when given, receives the length of the text written.
int ConvertMixedText(const char* src, int length, char* dst, const DecodeContext& with,
                     int* textLength = nullptr);
// length 0-127, dst of 256 bytes; returns the nibbles that are not decimal
// digits.
int ConvertPackedDecimal(const char* src, int length, char* dst);
