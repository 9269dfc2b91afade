#include "app/batch_run.h"

#include <cstring>

#include "app/process_state.h"
#include "app/run_log.h"
#include "backup/backup_rotation.h"
#include "convert/host_code.h"
#include "convert/sjis.h"
#include "convert/to_csv.h"
#include "platform/fileio.h"
#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "transfer/db2_line.h"
#include "transfer/folder_copy.h"
#include "transfer/ftp_job.h"

namespace {

// One [DB2] line that names a file to convert.
struct ListedFile {
  const char* line;
  char name[kFileBaseNameSize];
  int found;     // kNameFound, or kNameTooLong (name empty)
  bool usable;   // IsUsableEntryName
  bool refusedByFtpJob;  // a transfer line whose name the FTP job refuses
  bool fromGet;  // its image must come from this run's fetch
  bool fetched;
  bool existedBefore;
  FileInfo before;
};

// A line that names a file holds at least "//." and its zero.
constexpr int kMaxListedFiles = kSettingsBufferSize / 4 + 1;

struct ConversionList {
  char section[kSettingsBufferSize];
  ListedFile files[kMaxListedFiles];
  int count;
  bool ftpMode;
};

ConversionList s_List;

// Folder mode when a path separator stands as a character of its own at one
// of the address's first three positions (\\server\share, D:\data; on POSIX
// /srv/host, ./host, ../host).
bool IsFolderAddress(const char* address) {
  for (int i = 0; i < 3; ++i) {
    if (ClassifySjisByte(address, i) == static_cast<unsigned char>(kPathSep)) return true;
  }
  return false;
}

void ReadConversionList(ConversionList* list) {
  ReadDb2Section(list->section, kSettingsBufferSize, g_SettingsPath);
  list->count = 0;
  for (const char* line = list->section; *line != '\0'; line += std::strlen(line) + 1) {
    ListedFile& f = list->files[list->count];
    f.found = ConversionEntryName(line, f.name, kFileBaseNameSize);
    if (f.found == kNoName) continue;
    f.line = line;
    const Db2Command command = CommandOf(line);
    f.usable = f.found == kNameFound && IsUsableEntryName(f.name);
    char transferName[kFileBaseNameSize * 4];
    f.refusedByFtpJob = (command == Db2Command::kGet || command == Db2Command::kPut) &&
                        TransferEntryName(line, transferName, sizeof transferName) == kNameFound &&
                        !IsUsableEntryName(transferName);
    f.fromGet = command == Db2Command::kGet;
    f.fetched = false;
    f.existedBefore = false;
    ++list->count;
  }
}

// <program folder>DB2<sep><name>.DB2, where the fetch stores the image.
bool ImagePath(const char* name, char* path, int size) {
  const char sep[2] = {kPathSep, '\0'};
  return CopyText(path, size, g_ProgramFolder) && AppendText(path, size, "DB2") &&
         AppendText(path, size, sep) && AppendText(path, size, name) &&
         AppendText(path, size, ".DB2");
}

// The FTP client is not ours to ask (the system's ftp.exe may run), so what
// it fetched is judged by the files: an image counts as fetched when it is
// there and is not the file it was before the job (another file, or written
// anew: other size or time).
void NoteImagesBefore(ConversionList* list) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    if (!f.fromGet || f.found != kNameFound || !ImagePath(f.name, path, sizeof path)) continue;
    f.existedBefore = FileInfoOf(path, &f.before);
  }
}

void NoteImagesAfter(ConversionList* list) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    FileInfo now;
    if (!f.fromGet || f.found != kNameFound || !ImagePath(f.name, path, sizeof path) ||
        !FileInfoOf(path, &now) || now.isDirectory) {
      continue;
    }
    const FileInfo& was = f.before;
    f.fetched = !f.existedBefore || now.lastWrite != was.lastWrite || now.size != was.size ||
                now.volume != was.volume || now.index != was.index;
  }
}

// Folder mode: the images are those this run's copy made.
void NoteCopied(const char* fileName, void* context) {
  ConversionList* list = static_cast<ConversionList*>(context);
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    if (f.fromGet && f.found == kNameFound && IsImageOf(fileName, f.name)) f.fetched = true;
  }
}

// Converts every listed file; returns the run result.
int ConvertListedFiles(const ConversionList& list, int result) {
  for (int i = 0; i < list.count; ++i) {
    const ListedFile& f = list.files[i];
    if (StopRequested()) return -1;
    if (f.found == kNameTooLong) {
      // Longer than any file base name the conversion can take: say so and go on.
      AppendErrorLine(f.line, "の名前が長すぎるため変換しません(RunBatch)\n");
      continue;
    }
    if (!f.usable) {
      // Its files would lie outside the transfer folder. The FTP job has
      // said so of the lines it left out.
      if (!(list.ftpMode && f.refusedByFtpJob)) {
        char shown[kFileBaseNameSize];
        ShowableName(f.name, shown, sizeof shown);
        AppendErrorLine(shown, "は使えない名前のため変換しません(RunBatch)\n");
      }
      continue;
    }
    if (f.fromGet && !f.fetched) {
      // An image left from an earlier run must not pass for today's data.
      AppendErrorLine(f.name, ".DB2を取得できなかったため変換しません(RunBatch)\n");
      continue;
    }
    CopyText(g_FileBaseName, kFileBaseNameSize, f.name);
    result = toCSV("DB2", g_FileBaseName);
    if (result < 0) break;
  }
  return result;
}

}  // namespace

int RunBatch() {
  int result = 0;
  WriteRunLog("");

  static char address[kSettingsBufferSize];
  ProfileGetString("Quenvale", "IPADDRESS", "", address, kSettingsBufferSize, g_SettingsPath);
  const bool folderMode = IsFolderAddress(address);

  if (!folderMode && CheckHost(address) != 0) {
    WriteRunLog("中止");
    return -1;
  }
  WriteRunLog("開始");

  ConversionList& list = s_List;
  ReadConversionList(&list);
  list.ftpMode = !folderMode;
  if (folderMode) {
    ShowMessageBox("Debug時はFTP.exeは使用しません。", "Quenvale", kMbOk);
    char transfer[kPathBufferSize];
    CopyText(transfer, kPathBufferSize, g_ProgramFolder);
    AppendText(transfer, kPathBufferSize, "DB2");
    // A first run has no transfer folder yet; the FTP job makes its own.
    CreateFolder(transfer);
    result = CopyDb2Files(address, transfer, NoteCopied, &list);
  } else {
    NoteImagesBefore(&list);
    RunFtpJob();
    NoteImagesAfter(&list);
  }
  if (StopRequested()) result = -1;

  if (result >= 0) {
    ShowIndicator(nullptr, 1);
    result = RotateBackups(result);
    if (result >= 0 && LoadSingleByteTable() != 0) {
      LoadUserDoubleByteTable();
      WriteRunLog("CSV変換");
      result = ConvertListedFiles(list, result);
    }
  }
  // A stop asked for at any point ends the run as a cancel does.
  if (StopRequested()) result = -1;

  WriteRunLog(result < 0 ? "ｷｬﾝｾﾙ" : "終了");
  ShowIndicator(nullptr, 0);
  return result;
}
