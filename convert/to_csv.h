#pragma once
// Converting one host file image into a CSV file, the operation toCSV.
#include <cstdint>
#include <cstdio>

#include "base/job_context.h"
#include "base/progress.h"
#include "convert/code_tables.h"
#include "convert/field_list.h"

struct FieldDescription;

// What a conversion needs of its run.
struct Conversion {
  JobContext job;            // the program folder; error lines go to job.errors
  const CodeTables* tables;
  Progress* progress;        // the status every 100 records, and the cancel
  FILE* codeErrorRows;       // CodeErr.csv (single-file mode) or null
  // <name>.fdf as the batch run read it, or null: read here.
  const FieldDescription* description = nullptr;
};

// What a conversion leaves for its summary.
struct ConversionCounts {
  int32_t recordLength;  // 0 when the conversion ended before its data
  int32_t doubleByteErrors;
  int32_t singleByteErrors;
  bool csvWritten;  // <name>.csv was replaced by this conversion's rows
};

// Converts <name>.db2 into <name>.csv, guided by <name>.fdf in the program
// folder, on the converting threads the settings ask for (Workers; the
// same file whatever their number); subFolder "" keeps the image and the CSV in the program folder,
// another names the folder below it that holds them. The CSV is written to
// a temporary file and replaces <name>.csv only when whole; a failure
// appends an error line and ends the conversion, and it and a cancel leave
// the previous CSV as it was. A link at <name>.csv is not written
// through. An image that ends in a cut record still gives the rows of its
// whole records, with an error line. Returns
// the error total (codes that did not convert and bad packed digits), or -1
// when the progress said to stop; the summary's figures go to counts.
int toCSV(const Conversion& with, const char* subFolder, const char* name,
          ConversionCounts* counts);

// The records of one job of the ring for the field list (at least 1): a
// file of that many records or fewer is converted as one job.
int32_t RecordsPerJob(const FieldList& list, bool utf8);
