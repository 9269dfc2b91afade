#include "transfer/ftp_job.h"

#include <cstdio>
#include <cstring>

#include "app/process_state.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/stream.h"
#include "transfer/entry_name.h"
#include "transfer/watched_process.h"

namespace {

// Room for the longest get or put script line: the line, the program folder,
// the entry name and the fixed parts.
constexpr int kScriptLineSize = kFtpWorkLineSize + kPathBufferSize + kFtpWorkLineSize + 32;

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// True when line begins with word (upper-case letters and a blank) in any
// letter case.
bool BeginsWithCommand(const char* line, const char* word) {
  for (; *word != '\0'; ++line, ++word) {
    if (AsciiUpper(*line) != *word) return false;
  }
  return true;
}

// A bounded text builder: appends bytes unchanged, remembers an overflow.
struct LineBuilder {
  char* out;
  int size;
  int used;
  bool fits;
};

void Put(LineBuilder* b, const char* text, int length) {
  if (!b->fits || length > b->size - 1 - b->used) {
    b->fits = false;
    return;
  }
  std::memcpy(b->out + b->used, text, static_cast<size_t>(length));
  b->used += length;
  b->out[b->used] = '\0';
}

void Put(LineBuilder* b, const char* text) { Put(b, text, static_cast<int>(std::strlen(text))); }

// Forms the script line of one get or put line; false when it gives none.
bool FormTransferLine(const char* line, const char* programFolder, char* out, int outSize) {
  const size_t length = std::strlen(line);
  if (length >= static_cast<size_t>(kFtpWorkLineSize)) return false;
  char work[kFtpWorkLineSize];
  std::memcpy(work, line, length + 1);

  // The name follows the library's slash; the search starts behind the
  // command word and one more character, so "get /X.Y" finds no slash.
  const char* name = length > 5 ? std::strchr(work + 5, '/') : nullptr;
  if (name != nullptr) {
    ++name;
  } else {
    name = work + 4;
    while (*name == ' ') ++name;
  }
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return false;
  char entry[kFtpWorkLineSize];
  if (!MakeEntryName(name, static_cast<int>(dot - name), dot + 1, entry, sizeof entry)) return false;

  LineBuilder b{out, outSize, 0, true};
  out[0] = '\0';
  const bool get = AsciiUpper(work[0]) == 'G';
  if (get) {
    Put(&b, work);
  } else {
    Put(&b, work, 3);
  }
  const char separator[2] = {kPathSep, '\0'};
  Put(&b, " \"");
  Put(&b, programFolder);
  Put(&b, "DB2");
  Put(&b, separator);
  Put(&b, entry);
  Put(&b, ".DB2\"");
  if (!get) {
    Put(&b, " ");
    Put(&b, work + 4);
  }
  return b.fits;
}

void WriteLine(const char* line, void* context) {
  FILE* f = static_cast<FILE*>(context);
  std::fputs(line, f);
  std::fputs("\n", f);  // a text stream: CR LF on Windows
}

}  // namespace

void WriteFtpCommands(const char* section, int sectionSize, const char* programFolder,
                      FtpScriptSink sink, void* context) {
  char scriptLine[kScriptLineSize];
  int at = 0;
  while (at < sectionSize && section[at] != '\0') {
    const char* line = section + at;
    const void* end = std::memchr(line, '\0', static_cast<size_t>(sectionSize - at));
    if (end == nullptr) return;  // an unterminated last line is not a line
    at = static_cast<int>(static_cast<const char*>(end) - section) + 1;

    if (BeginsWithCommand(line, "CD ")) {
      sink(line, context);
    } else if (BeginsWithCommand(line, "GET ") || BeginsWithCommand(line, "PUT ")) {
      if (FormTransferLine(line, programFolder, scriptLine, sizeof scriptLine)) {
        sink(scriptLine, context);
      }
    }
  }
}

int CheckHost(const char* address) { return HostEntryExists(address) ? 0 : -1; }

int RunFtpJob() {
  char path[kPathBufferSize];
  if (CopyText(path, sizeof path, g_ProgramFolder) && AppendText(path, sizeof path, "DB2")) {
    CreateFolderIgnoringResult(path);
  }

  // A script path that does not fit cannot be created.
  if (!CopyText(path, sizeof path, g_ProgramFolder) ||
      !AppendText(path, sizeof path, "ftparg.txt")) {
    return -1;
  }
  FILE* script = OpenStream(path, "w");
  if (script == nullptr) return -1;

  static char value[kFtpSettingSize];
  ProfileGetString("Quenvale", "USER", "", value, sizeof value, g_SettingsPath);
  WriteLine(value, script);
  ProfileGetString("Quenvale", "PASSWORD", "", value, sizeof value, g_SettingsPath);
  WriteLine(value, script);
  WriteLine("binary", script);

  static char section[kFtpSettingSize];
  std::memset(section, 0, sizeof section);
  ProfileGetSection("DB2", section, sizeof section, g_SettingsPath);
  WriteFtpCommands(section, sizeof section, g_ProgramFolder, WriteLine, script);
  WriteLine("quit", script);
  std::fclose(script);

  char address[kFtpAddressSize];
  ProfileGetString("Quenvale", "IPADDRESS", "", address, sizeof address, g_SettingsPath);
  char args[kPathBufferSize * 2];
  std::snprintf(args, sizeof args, "-s:\"%sftparg.txt\" %s", g_ProgramFolder, address);
  RunWatchedProcess("ftp.exe", args);
  return 0;
}
