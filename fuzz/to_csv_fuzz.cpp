// The description-file reader and the CSV conversion over arbitrary .fdf and
// .db2 bytes.
//
// Input: the .fdf bytes, the mark "@@DB2@@\n", then the .db2 bytes (without
// the mark everything is the .fdf and the image is empty). The files go into
// a program folder of the target's own, the image into its DB2 sub-folder,
// and toCSV runs as a batch run calls it, so no message box shows. An input
// of odd size asks for the CSV in UTF-8.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/error_text.h"
#include "base/progress.h"
#include "base/settings.h"
#include "base/text.h"
#include "convert/code_tables.h"
#include "convert/field_list.h"
#include "convert/list_check.h"
#include "convert/to_csv.h"
#include "fuzz/fuzz_support.h"

namespace {

// Letters, digits and a few signs of the single-byte table, two user
// double-byte entries and the substitution pair: enough for every decoder
// path to produce text.
const char kSettings[] =
    "[EBCDIC]\n0x40\n0x4B .\n0x7F \"\n0x7D '\n0x6B ,\n0x60 -\n0x7E =\n"
    "0xC1 A\n0xC2 B\n0xC3 C\n0xC4 D\n0xC5 E\n0xC6 F\n0xC7 G\n0xC8 H\n0xC9 I\n"
    "0xF0 0\n0xF1 1\n0xF2 2\n0xF3 3\n0xF4 4\n0xF5 5\n0xF6 6\n0xF7 7\n0xF8 8\n0xF9 9\n"
    "0x81 a\n0x82 b\n0x5B \\\n"
    "[KANJI]\n0x6941=8140\n0xC1C1=8260\n0xFFFF=81A0\n";

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "to_csv: %s\n", what);
    std::abort();
  }
}

// Counts the status texts; never cancels.
class Statuses : public Progress {
 public:
  int Update(const char*, const char* text) override {
    Check(std::strlen(text) < 256, "status text too long");
    ++count;
    return 0;
  }
  long count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string folder;
  static CodeTables* tables = new CodeTables;
  static ErrorText* errors = new ErrorText;
  if (folder.empty()) {
    folder = FuzzProgramFolder();
    Settings settings;
    FuzzSettings(kSettings, sizeof kSettings - 1, &settings);
    LoadSingleByteTable(settings, tables);
    LoadUserDoubleByteTable(settings, tables);
    mkdir((folder + "DB2").c_str(), 0700);
  }
  static const char kMark[] = "@@DB2@@\n";
  const size_t at = FuzzFind(data, size, kMark);
  const size_t imageAt = at < size ? at + sizeof kMark - 1 : size;
  FuzzWriteFile(folder.c_str(), "F.fdf", data, at);
  FuzzWriteFile(folder.c_str(), "DB2/F.db2", data + imageAt, size - imageAt);
  unlink((folder + "DB2/F.csv").c_str());

  // Odd sizes convert with settings asking for UTF-8, even ones with the
  // defaults of an empty file.
  static const std::string settingsPath = folder + "Quenvale.ini";
  static Settings utf8Settings = [] {
    static const char kUtf8[] = "[Quenvale]\nCsvEncoding=UTF-8\n";
    Settings loaded;
    FuzzSettings(kUtf8, sizeof kUtf8 - 1, &loaded);
    return loaded;
  }();
  static Settings defaultSettings = [] {
    Settings loaded;
    FuzzSettings("", 0, &loaded);
    return loaded;
  }();
  errors->Clear();
  Statuses statuses;
  Settings* settings = size % 2 == 1 ? &utf8Settings : &defaultSettings;
  const Conversion with{JobContext{folder.c_str(), settingsPath.c_str(), errors, settings}, tables, &statuses,
                        nullptr};
  ConversionCounts counts{};
  const int result = toCSV(with, "DB2", "F", &counts);
  Check(result >= 0, "negative result without a cancel");
  Check(std::memchr(errors->text(), '\0', kErrorTextSize) != nullptr, "error text not terminated");
  Check(counts.recordLength >= 0 && counts.recordLength <= kMaxRecordLength, "record length out of range");
  // A status every 100 rows and one at the end: rows only for whole records.
  Check(statuses.count >= 1, "no final status");
  Check(counts.recordLength == 0 ||
            static_cast<size_t>(statuses.count - 1) * 100 <= (size - imageAt) / counts.recordLength,
        "more rows than records");

  // The reader in memory gives the list the file gives.
  FieldList fromMemory, fromFile;
  const bool inMemory = ParseFieldList(reinterpret_cast<const char*>(data), at, &fromMemory);
  FILE* fdf = std::fopen((folder + "F.fdf").c_str(), "r");
  const bool inFile = fdf != nullptr && ReadFieldList(fdf, &fromFile);
  if (fdf != nullptr) std::fclose(fdf);
  Check(inMemory == inFile, "the file and the memory reader disagree");
  if (inMemory) {
    Check(fromMemory.count == fromFile.count, "the file and the memory reader count other fields");
    for (int i = 0; i < fromMemory.count; ++i) {
      const FieldDescriptor& m = fromMemory.fields[i];
      const FieldDescriptor& f = fromFile.fields[i];
      Check(std::strcmp(m.name, f.name) == 0 && m.type == f.type && m.offset == f.offset &&
                m.length == f.length && m.decimals == f.decimals && m.size == f.size,
            "the file and the memory reader give other fields");
    }
  }

  // The field list check over the same two files: it ends, its report is
  // bounded, and every list the conversion refuses has a finding.
  std::string report;
  const int findings = CheckFieldListAndImage((folder + "F.fdf").c_str(), (folder + "DB2/F.db2").c_str(),
                                              *tables, &report);
  Check(findings >= 0, "negative count of findings");
  Check(inFile || findings > 0, "a list the conversion refuses without a finding");
  size_t lines = 0;
  for (char c : report) lines += c == '\n' ? 1 : 0;
  Check(lines <= 201 && report.size() <= 201 * 4096, "report not bounded");
  return 0;
}
