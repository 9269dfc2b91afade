#pragma once
// A host physical file's layout as the host describes it, and the field
// list (.fdf) made from it. Three descriptions are read, each recognised by
// its content: the DSPFFD outfile image (record format QWHDRFFD, fetched in
// binary), the DDS source of the file, and SQL CREATE TABLE statements.
// fdfmake writes the lists; the batch run's layout check compares the list
// made from the night's description with the list it converts by.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "convert/field_list.h"

struct HostField {
  std::string name;      // as the list will name it (Shift-JIS)
  char hostType = 0;     // data type letter as DSPFFD gives it, '5', or 0 (see why)
  int32_t bytes = 0;     // in the buffer, a varying field's 2-byte length included
  int32_t digits = 0;
  int32_t decimals = 0;
  int32_t ccsid = 0;     // 0 when not given
  bool varying = false;
  bool nullCapable = false;
  std::string why;       // a kind of field that no data type letter names (DECFLOAT, CLOB)
};

struct HostFileLayout {
  std::string file;      // the name of the .fdf
  std::string library;
  std::string format;    // record format
  std::string levelId;   // format level identifier (outfile only)
  int32_t recordLength = 0;  // as the host gives it; 0 when the description does not say
  std::vector<HostField> fields;
  // Lines that refuse the whole file (lengths that do not add up, a field by
  // reference); the lines of fields that no type holds come when the list is made.
  std::string refusal;
};

enum class HostSource { kUnknown, kOutfile, kDds, kSql };

// Most bytes a description is read from, and most files one may hold.
constexpr size_t kMaxHostDescriptionSize = 64u * 1024 * 1024;  // an outfile image
constexpr size_t kMaxTextDescriptionSize = 8u * 1024 * 1024;   // DDS or SQL
constexpr int kMaxHostFiles = 10000;

// Reads one description (size bytes of data). inputName is the input's file
// name (a DDS source's .fdf is named by it up to its first dot); ebcdic is the
// single-byte table of [EBCDIC] (256 bytes, 0 unmapped) or null, for the
// outfile's names. Appends each file it describes to files, and lines
// ("  <name><text>") to report for what refuses the whole input. Returns the
// kind read; kUnknown (with a line) when it is none of the three or cannot
// be read as its kind at all.
HostSource ReadHostDescription(const char* data, size_t size, const char* inputName,
                               const unsigned char* ebcdic, std::vector<HostFileLayout>* files,
                               std::string* report);

// The .fdf text of a file: header lines that say where it came from (the
// source line names source and date), PCFO and one PCFL line per field.
// False, with one line a finding in report, when the file is refused: a
// field that no type holds, a length a type does not allow, a refusal of
// the reader. A null-capable field adds a line to report but does not refuse.
bool MakeFieldListText(const HostFileLayout& file, const char* source, const char* date,
                       std::string* fdf, std::string* report);

// True when two .fdf texts differ at most in their source line (the date and
// the input the list was made from).
bool SameFieldListText(const std::string& a, const std::string& b);

// True when the list made from the host's description (made) describes the
// same record as the list a conversion uses (listed): the same number of
// fields, each with the same bytes, stored form (StoredAs: a list may show
// A as I or 2 as d; 1 stands for A or W, H for A), length and decimals.
// Names are not compared.
bool SameLayout(const FieldList& listed, const FieldList& made);

// Appends "  " + name + text to report.
void AppendReportLine(std::string* report, const std::string& name, const char* text);
