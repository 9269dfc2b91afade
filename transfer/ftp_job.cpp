#include "transfer/ftp_job.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error_text.h"
#include "base/path.h"
#include "base/sjis.h"
#include "base/text.h"
#include "base/texts.h"
#include "platform/fileio.h"
#include "platform/net.h"
#include "platform/process.h"
#include "base/settings.h"
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

enum class Formed { kLine, kNone, kRefused };

// Forms the script line of one get or put line into out; with kRefused the
// unusable entry name is in entry.
Formed FormTransferLine(const char* line, const char* programFolder, char* out, int outSize,
                        char* entry, int entrySize) {
  const size_t length = std::strlen(line);
  if (length >= static_cast<size_t>(kFtpWorkLineSize)) return Formed::kNone;
  char work[kFtpWorkLineSize];
  std::memcpy(work, line, length + 1);

  if (TransferEntryName(work, entry, entrySize) != kNameFound) return Formed::kNone;
  // A typo must not write outside the transfer folder.
  if (!IsUsableEntryName(entry)) return Formed::kRefused;
  // One word only: the client would take a second for the local file. The
  // refusal shows the words, which tell the typo better than the entry.
  if (!HasOneRemoteWord(work)) {
    CopyText(entry, entrySize, RemoteWords(work));
    return Formed::kRefused;
  }

  LineBuilder b{out, outSize, 0, true};
  out[0] = '\0';
  const bool get = CommandOf(work) == Db2Command::kGet;
  if (get) {
    Put(&b, work);
  } else {
    Put(&b, work, 3);
  }
  char target[kPathBufferSize + kFtpWorkLineSize + 16];  // the folder, "DB2", the entry, ".DB2"
  if (!TransferImagePath(target, sizeof target, programFolder, entry)) b.fits = false;
  Put(&b, " \"");
  Put(&b, target);
  Put(&b, "\"");
  if (!get) {
    Put(&b, " ");
    Put(&b, work + 4);
  }
  return b.fits ? Formed::kLine : Formed::kNone;
}

// The two lines that fetch the host's description of a get line's file
// into <entry>.FFD beside its image (the layout check reads it); false, and
// no lines, when the line names no file that a CL command can take.
bool FormDescriptionLines(const char* line, const char* programFolder, const char* entry,
                          char* command, char* get, int size) {
  const char* start = line + 4;
  while (*start == ' ') ++start;
  const char* slash = std::strchr(line + 5, '/');
  const char* name = slash != nullptr ? slash + 1 : start;
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr || dot == start) return false;
  for (const char* p = start; p < dot; ++p) {
    // The file goes into a CL parameter: nothing that would end it or add one.
    if (*p == ' ' || *p == '(' || *p == ')' || *p == '\'' || *p == '"') return false;
  }
  LineBuilder c{command, size, 0, true};
  command[0] = '\0';
  Put(&c, "quote rcmd DSPFFD FILE(");
  Put(&c, start, static_cast<int>(dot - start));
  Put(&c, ") OUTPUT(*OUTFILE) OUTFILE(QTEMP/QVFIELDS) OUTMBR(*FIRST *REPLACE)");
  const char separator[2] = {kPathSep, '\0'};
  LineBuilder g{get, size, 0, true};
  get[0] = '\0';
  Put(&g, "get QTEMP/QVFIELDS.QVFIELDS \"");
  Put(&g, programFolder);
  Put(&g, "DB2");
  Put(&g, separator);
  Put(&g, entry);
  Put(&g, ".FFD\"");
  return c.fits && g.fits;
}

// The script file: lines with the stream's line ends (CR LF on Windows), and
// the refused names as error lines of the run.
class ScriptFile : public FtpScriptSink {
 public:
  ScriptFile(FILE* file, ErrorText* errors) : file_(file), errors_(errors) {}
  void Line(const char* line) override {
    std::fputs(line, file_);
    std::fputs("\n", file_);
  }
  void Refused(const char* entryName) override {
    char shown[kFtpWorkLineSize];
    ShowableName(entryName, shown, sizeof shown);
    errors_->AppendLine(shown, kTextUnusableNameFtp);
  }

 private:
  FILE* file_;
  ErrorText* errors_;
};


// Removes what a client cut off at the time limit may have left of a get:
// our ftp.exe fetches into <target>.part.
void RemoveCutFetches(const char* section, int sectionSize, const char* programFolder) {
  for (int at = 0; at < sectionSize && section[at] != '\0';) {
    const char* line = section + at;
    at += static_cast<int>(std::strlen(line)) + 1;
    char entry[kFtpWorkLineSize];
    char path[kPathBufferSize];
    if (CommandOf(line) != Db2Command::kGet || TransferEntryName(line, entry, sizeof entry) != kNameFound ||
        !IsUsableEntryName(entry) || !HasOneRemoteWord(line)) {
      continue;
    }
    if (TransferImagePath(path, sizeof path, programFolder, entry, ".part")) {
      FileDelete(path);
      std::memcpy(path + std::strlen(path) - 8, "FFD", 3);  // <entry>.FFD.part
      FileDelete(path);
    }
  }
}

// What [Quenvale] FTPS and FTPSFingerprint ask of the client.
struct Ftps {
  const char* mode;  // "none", "explicit" or "implicit"
  char fingerprint[kFtpSettingSize];
};

// Reads FTPS and, with TLS, FTPSFingerprint; false with an error line when
// either holds what the client cannot follow: the fetch is then refused.
bool ReadFtps(const JobContext& job, Ftps* ftps) {
  char value[kFtpAddressSize];
  CopySetting(value, sizeof value, job.settings->ftps);
  ftps->fingerprint[0] = '\0';
  if (value[0] == '\0' || SameName(value, "none")) {
    ftps->mode = "none";
    // A pin asks for TLS: fetching in clear would send the password over
    // the network while the settings say the host is verified.
    if (!job.settings->ftpsFingerprint.empty()) {
      job.errors->AppendLine("FTPSFingerprint", kTextFingerprintWithoutTls);
      return false;
    }
    return true;
  }
  if (SameName(value, "explicit")) {
    ftps->mode = "explicit";
  } else if (SameName(value, "implicit")) {
    ftps->mode = "implicit";
  } else {
    job.errors->AppendLine("FTPS", kTextFtpsInvalid);
    return false;
  }
  CopySetting(ftps->fingerprint, sizeof ftps->fingerprint, job.settings->ftpsFingerprint);
  unsigned char digest[kFingerprintSize];
  if (ftps->fingerprint[0] != '\0' && !ParseFingerprint(ftps->fingerprint, digest)) {
    job.errors->AppendLine("FTPSFingerprint", kTextFtpsInvalid);
    return false;
  }
  return true;
}

// MaxTransferMB: up to 12 decimal digits (an empty value is the default);
// false with an error line for anything else, and the fetch is refused.
bool ReadMaxTransfer(const JobContext& job, char* out, int size) {
  char value[kFtpAddressSize];
  CopySetting(value, sizeof value, job.settings->maxTransferMB);
  if (value[0] == '\0') CopyText(value, sizeof value, "4096");
  int digits = 0;
  while (value[digits] >= '0' && value[digits] <= '9') ++digits;
  if (digits == 0 || digits > 12 || value[digits] != '\0' ||
      job.settings->maxTransferMB.size() >= sizeof value) {
    job.errors->AppendLine("MaxTransferMB", kTextFtpsInvalid);
    return false;
  }
  return CopyText(out, size, value);
}

// The error text for an exit status by which our client refused the host.
const char* RefusalText(int exitCode) {
  switch (exitCode) {
    case kFtpExitNoTls:
      return kTextFtpsNotOffered;
    case kFtpExitCertificate:
      return kTextFtpsCertificate;
    case kFtpExitFingerprint:
      return kTextFtpsFingerprint;
    case kFtpExitHandshake:
      return kTextFtpsHandshake;
    default:
      return nullptr;
  }
}

}  // namespace

bool IsDottedIPv4(const char* text) {
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    int value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    // "010" reads as octal to some resolvers, and "000" is no more an address.
    if (digits > 1 && p[-digits] == '0') return false;
  }
  return *p == '\0';
}

void WriteFtpCommands(const char* section, int sectionSize, const char* programFolder,
                      FtpScriptSink* sink, bool checkLayout) {
  char scriptLine[kScriptLineSize];
  char entry[kFtpWorkLineSize];
  char describe[kScriptLineSize];
  char getDescription[kScriptLineSize];
  int at = 0;
  while (at < sectionSize && section[at] != '\0') {
    const char* line = section + at;
    const void* end = std::memchr(line, '\0', static_cast<size_t>(sectionSize - at));
    if (end == nullptr) return;  // an unterminated last line is not a line
    at = static_cast<int>(static_cast<const char*>(end) - section) + 1;

    const Db2Command command = CommandOf(line);
    if (command == Db2Command::kCd) {
      sink->Line(line);
    } else if (command == Db2Command::kGet || command == Db2Command::kPut) {
      switch (FormTransferLine(line, programFolder, scriptLine, sizeof scriptLine, entry, sizeof entry)) {
        case Formed::kLine:
          if (checkLayout && command == Db2Command::kGet &&
              FormDescriptionLines(line, programFolder, entry, describe, getDescription, kScriptLineSize)) {
            sink->Line(describe);
            sink->Line(getDescription);
          }
          sink->Line(scriptLine);
          break;
        case Formed::kRefused:
          sink->Refused(entry);
          break;
        case Formed::kNone:
          break;
      }
    }
  }
}

void BlankScriptPassword(const char* programFolder) {
  char scriptPath[kPathBufferSize];
  if (!CopyText(scriptPath, sizeof scriptPath, programFolder) ||
      !AppendText(scriptPath, sizeof scriptPath, "ftparg.txt")) {
    return;
  }
  FILE* script = OpenPrivateStreamForUpdate(scriptPath);
  if (script == nullptr) return;
  int ch;
  while ((ch = std::fgetc(script)) != EOF && ch != '\n') {
  }
  const long passwordAt = std::ftell(script);
  long length = 0;
  while ((ch = std::fgetc(script)) != EOF && ch != '\n' && ch != '\r') ++length;
  if (passwordAt >= 0 && length > 0 && std::fseek(script, passwordAt, SEEK_SET) == 0) {
    for (long i = 0; i < length; ++i) std::fputc(' ', script);
  }
  std::fclose(script);
}

int CheckHost(const char* address) {
  if (!IsDottedIPv4(address)) return -1;
  return HostEntryExists(address) ? 0 : -1;
}

int RunFtpJob(const JobContext& job) {
  static Ftps ftps;
  if (!ReadFtps(job, &ftps)) return -1;
  char maxTransfer[kFtpAddressSize];
  if (!ReadMaxTransfer(job, maxTransfer, sizeof maxTransfer)) return -1;
  const bool tls = std::strcmp(ftps.mode, "none") != 0;
  // Only our client speaks TLS: with it asked for, the one beside the
  // program, never one found on the search path.
  char client[kPathBufferSize];
  if (!CopyText(client, sizeof client, tls ? job.programFolder : "") ||
      !AppendText(client, sizeof client, "ftp.exe")) {
    job.errors->AppendLine("ftp.exe", kTextFtpsClientMissing);
    return -1;
  }
  FileInfo clientInfo;
  if (tls && (!FileInfoOf(client, &clientInfo) || clientInfo.isDirectory)) {
    job.errors->AppendLine(client, kTextFtpsClientMissing);
    return -1;
  }

  char path[kPathBufferSize];
  if (CopyText(path, sizeof path, job.programFolder) && AppendText(path, sizeof path, "DB2")) {
    CreateFolder(path);  // an existing folder is fine
  }

  // A script path that does not fit cannot be created.
  char scriptPath[kPathBufferSize];
  if (!CopyText(scriptPath, sizeof scriptPath, job.programFolder) ||
      !AppendText(scriptPath, sizeof scriptPath, "ftparg.txt")) {
    return -1;
  }
  // A link planted in its place is refused: the log says so.
  if (PathIsLink(scriptPath)) {
    job.errors->AppendLine("ftparg.txt", kTextScriptIsLink);
    return -1;
  }
  // Written whole to a temporary file that no other user may read, then
  // renamed over the old script: never through a link (a hard one
  // included), never a script cut short.
  char tempPath[kTempPathSize];
  FILE* script = OpenPrivateTempStream(scriptPath, tempPath, sizeof tempPath);
  if (script == nullptr) {
    job.errors->AppendLine("ftparg.txt", kTextScriptNotCreated);
    return -1;
  }
  // Unbuffered: no stream buffer keeps a copy of the password.
  std::setvbuf(script, nullptr, _IONBF, 0);
  ScriptFile lines(script, job.errors);

  static char value[kFtpSettingSize];
  CopySetting(value, sizeof value, job.settings->user);
  lines.Line(value);
  CopySetting(value, sizeof value, job.settings->password);
  lines.Line(value);
  WipeText(value, sizeof value);
  lines.Line("binary");

  static char section[kMaxDb2SectionSize];
  ReadDb2Section(section, sizeof section, job.settings->db2);
  WriteFtpCommands(section, sizeof section, job.programFolder, &lines, job.settings->checkLayout == 1);
  lines.Line("quit");
  if (!CommitTempStream(script, tempPath, scriptPath)) {
    job.errors->AppendLine("ftparg.txt", PathIsLink(scriptPath) ? kTextScriptIsLink : kTextScriptNotCreated);
    return -1;
  }

  char address[kFtpAddressSize];
  CopySetting(address, sizeof address, job.settings->ipAddress);
  int result = -1;
  if (IsDottedIPv4(address)) {
    char args[kPathBufferSize * 2];
    std::snprintf(args, sizeof args, "-s:\"%sftparg.txt\" %s", job.programFolder, address);
    // The same as an argument array: a '"' in the program folder's path
    // (allowed on POSIX) must not split it.
    char scriptArgument[kPathBufferSize * 2];
    std::snprintf(scriptArgument, sizeof scriptArgument, "-s:%sftparg.txt", job.programFolder);
    const char* const arguments[] = {client, scriptArgument, address, nullptr};
    // The client's TLS settings; set every time, so that nothing else in
    // this process's environment can choose for it.
    SetEnvironmentText("QV_FTPS", ftps.mode);
    SetEnvironmentText("QV_FTPS_FINGERPRINT", ftps.fingerprint);
    // The bound of one transfer, so that a host cannot fill the disk.
    SetEnvironmentText("QV_MAX_TRANSFER_MB", maxTransfer);
    int exitCode = -1;
    char commandLine[kPathBufferSize];
    if (!BuildCommandLine(client, args, commandLine, sizeof commandLine)) {
      // The watch would start nothing: the log says why nothing came.
      job.errors->AppendLine("ftp.exe", kTextFtpCommandTooLong);
    } else if (RunWatchedProcess(*job.settings, client, args, arguments, &exitCode) == kWatchTimedOut) {
      job.errors->AppendLine("ftp.exe", kTextFtpTimedOut);
    }
    const char* refusal = tls ? RefusalText(exitCode) : nullptr;
    if (refusal != nullptr) job.errors->AppendLine("", refusal);
    result = 0;
  }
  // Our client blanks it as soon as it has read it; another one may not.
  BlankScriptPassword(job.programFolder);
  RemoveCutFetches(section, sizeof section, job.programFolder);
  return result;
}
