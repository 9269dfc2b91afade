#include "transfer/ftp_job.h"

#include <cstdio>
#include <cstring>

#include "app/process_state.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/stream.h"
#include "transfer/db2_line.h"
#include "transfer/watched_process.h"

namespace {

// Room for the longest get or put script line: the line, the program folder,
// the entry name and the fixed parts.
constexpr int kScriptLineSize = kFtpWorkLineSize + kPathBufferSize + kFtpWorkLineSize + 32;

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

  char entry[kFtpWorkLineSize];
  if (TransferEntryName(work, entry, sizeof entry) != kNameFound) return false;

  LineBuilder b{out, outSize, 0, true};
  out[0] = '\0';
  const bool get = CommandOf(work) == Db2Command::kGet;
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

    const Db2Command command = CommandOf(line);
    if (command == Db2Command::kCd) {
      sink(line, context);
    } else if (command == Db2Command::kGet || command == Db2Command::kPut) {
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
  ReadDb2Section(section, sizeof section, g_SettingsPath);
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
