#include "app/settings_file.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "base/text.h"
#include "convert/code_tables.h"
#include "platform/profile.h"
#include "platform/stream.h"

namespace {

// The file's own bytes, for the encoding check (the reader would have
// converted them already, on Windows through the system's code page).
std::string FileBytes(const char* path) {
  std::string bytes;
  FILE* f = OpenStream(path, "rb");
  if (f == nullptr) return bytes;
  char block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) bytes.append(block, n);
  std::fclose(f);
  return bytes;
}

// What the reader delivers never exceeds the file: the first buffer is as
// large as the file, and grows (a file changed meanwhile) up to a bound so
// that the loop ends whatever the reader does.
struct Buffers {
  size_t first;
  size_t last;
  explicit Buffers(size_t fileSize) {
    constexpr size_t kMost = INT_MAX / 2;
    first = std::min(std::max<size_t>(kSettingsBufferSize, fileSize + 64), kMost);
    last = std::min(first * 16, kMost);
  }
};

std::string Value(const char* key, const char* def, const char* path, const Buffers& sizes) {
  std::vector<char> out;
  for (size_t size = sizes.first;; size *= 2) {
    out.assign(size, '\0');
    const int n = ProfileGetString("Quenvale", key, def, out.data(), static_cast<int>(size), path);
    // A result that fills the buffer may have been cut.
    if (n < static_cast<int>(size) - 1 || size >= sizes.last) return std::string(out.data(), n);
  }
}

std::string Section(const char* name, const char* path, const Buffers& sizes) {
  std::vector<char> out;
  for (size_t size = sizes.first;; size *= 2) {
    out.assign(size, '\0');
    const int n = ProfileGetSection(name, out.data(), static_cast<int>(size), path);
    // The reader gives size - 2 for a section it cut.
    if (n < static_cast<int>(size) - 2 || size >= sizes.last) return std::string(out.data(), n);
  }
}

}  // namespace

void LoadSettings(const char* path, Settings* settings) {
  const std::string bytes = FileBytes(path);
  const Buffers sizes(bytes.size());
  settings->shiftJis = SettingsAreShiftJis(bytes.data(), bytes.size());
  settings->ipAddress = Value("IPADDRESS", "", path, sizes);
  settings->user = Value("USER", "", path, sizes);
  settings->password = Value("PASSWORD", "", path, sizes);
  settings->ftps = Value("FTPS", "", path, sizes);
  settings->ftpsFingerprint = Value("FTPSFingerprint", "", path, sizes);
  settings->timeLimit = Value("TimeLimit", "3600", path, sizes);
  settings->backupDir = Value("BackupDir", "", path, sizes);
  settings->csvEncoding = Value("CsvEncoding", "", path, sizes);
  settings->workers = Value("Workers", "", path, sizes);
  settings->monthBackup = ProfileGetInt("Quenvale", "MonthBackup", 0, path);
  settings->lastMonthBackup = ProfileGetInt("Quenvale", "Last_MonthBackup", 0, path);
  settings->ebcdic = Section("EBCDIC", path, sizes);
  settings->kanji = Section("KANJI", path, sizes);
  settings->db2 = Section("DB2", path, sizes);
}
