// The description-file reader and the CSV conversion over arbitrary .fdf and
// .db2 bytes.
//
// Input: the .fdf bytes, the mark "@@DB2@@\n", then the .db2 bytes (without
// the mark everything is the .fdf and the image is empty). The files go into
// a program folder of the target's own, the image into its DB2 sub-folder,
// and toCSV runs as a batch run calls it, so no message box shows.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/process_state.h"
#include "convert/host_code.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string folder;
  if (folder.empty()) {
    folder = FuzzProgramFolder();
    FuzzWriteFile(folder.c_str(), "Quenvale.ini", kSettings, sizeof kSettings - 1);
    LoadSingleByteTable();
    LoadUserDoubleByteTable();
    mkdir((folder + "DB2").c_str(), 0700);
  } else {
    FuzzProgramFolder();
  }
  static const char kMark[] = "@@DB2@@\n";
  const size_t at = FuzzFind(data, size, kMark);
  const size_t imageAt = at < size ? at + sizeof kMark - 1 : size;
  FuzzWriteFile(folder.c_str(), "F.fdf", data, at);
  FuzzWriteFile(folder.c_str(), "DB2/F.db2", data + imageAt, size - imageAt);
  unlink((folder + "DB2/F.csv").c_str());

  ClearErrorText();
  const int result = toCSV("DB2", "F");
  Check(result >= 0, "negative result without a cancel");
  Check(std::memchr(ErrorText(), '\0', kErrorTextSize) != nullptr, "error text not terminated");
  // Rows are written only for whole records that were read.
  Check(g_RecordCounter >= 0 && static_cast<size_t>(g_RecordCounter) <= size - imageAt,
        "more records than image bytes");
  return 0;
}
