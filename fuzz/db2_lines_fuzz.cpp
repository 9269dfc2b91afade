// The walkers over [DB2] lines: the FTP job's script lines and the batch
// run's conversion entry names.
//
// Input: the section's bytes as the settings reader delivers them
// (zero-terminated lines, normally ended by an empty one), in a buffer of
// exactly the input's size, so nothing at or past its end may be read.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "fuzz/fuzz_support.h"
#include "transfer/db2_line.h"
#include "transfer/ftp_job.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "db2_lines: %s\n", what);
    std::abort();
  }
}

// Script lines go to a file stream in the program; here they are measured
// (every byte of them is read) and counted, as are refused names.
struct Script : FtpScriptSink {
  size_t bytes = 0;
  int lines = 0;
  void Line(const char* line) override {
    bytes += std::strlen(line);
    ++lines;
  }
  void Refused(const char* entryName) override {
    Check(!IsUsableEntryName(entryName), "a usable name was refused");
    bytes += std::strlen(entryName);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 20000) return 0;
  char* section = static_cast<char*>(std::malloc(size + 1));
  if (size > 0) std::memcpy(section, data, size);
  section[size] = '\0';  // never read: the walkers stop at size

  // The program folder as long as the path buffer allows, and a short one.
  static char longFolder[kPathBufferSize];
  if (longFolder[0] == '\0') {
    std::memset(longFolder, 'p', kPathBufferSize - 2);
    longFolder[0] = '/';
    longFolder[kPathBufferSize - 2] = '/';
  }
  Script script;
  WriteFtpCommands(section, static_cast<int>(size), "/qv/", &script);
  WriteFtpCommands(section, static_cast<int>(size), longFolder, &script);

  // Every line once more, alone and ended by the empty entry.
  size_t at = 0;
  while (at < size) {
    const void* end = std::memchr(section + at, '\0', size - at);
    const size_t len = end ? static_cast<const char*>(end) - (section + at) : size - at;
    char* one = static_cast<char*>(std::malloc(len + 2));
    std::memcpy(one, section + at, len);
    one[len] = one[len + 1] = '\0';
    WriteFtpCommands(one, static_cast<int>(len + 2), "/qv/", &script);
    // An entry name fits the file base name, or is refused and left empty.
    char name[kFileBaseNameSize];
    std::memset(name, 0x7F, sizeof name);
    const int found = ConversionEntryName(one, name, sizeof name);
    Check(std::memchr(name, '\0', sizeof name) != nullptr, "entry name not terminated");
    Check(found >= -1 && found <= 1 && (found == 1 || name[0] == '\0'),
          "entry name and result disagree");
    std::free(one);
    at += len + 1;
  }
  std::free(section);
  return 0;
}
