#include "app/batch_run.h"

#include <cstring>

#include "app/process_state.h"
#include "app/run_log.h"
#include "backup/backup_rotation.h"
#include "convert/host_code.h"
#include "convert/sjis.h"
#include "convert/to_csv.h"
#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "transfer/entry_name.h"
#include "transfer/folder_copy.h"
#include "transfer/ftp_job.h"

int ConversionEntryName(const char* line, char* entry, int entrySize) {
  entry[0] = '\0';
  const char* p = line[0] == '/' ? line + 1 : line;
  const char* slash = std::strchr(p, '/');
  if (slash == nullptr) return 0;
  const char* name = slash + 1;
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return 0;
  if (!MakeEntryName(name, static_cast<int>(dot - name), dot + 1, entry, entrySize)) return -1;
  return 1;
}

namespace {

// Folder mode when a path separator stands as a character of its own at one
// of the address's first three positions (\\server\share, D:\data; on POSIX
// /srv/host, ./host, ../host).
bool IsFolderAddress(const char* address) {
  for (int i = 0; i < 3; ++i) {
    if (ClassifySjisByte(address, i) == static_cast<unsigned char>(kPathSep)) return true;
  }
  return false;
}

// Converts every [DB2] entry; returns the run result.
int ConvertListedFiles(int result) {
  static char lines[kSettingsBufferSize];
  ProfileGetSection("DB2", lines, kSettingsBufferSize, g_SettingsPath);
  lines[kSettingsBufferSize - 1] = '\0';
  lines[kSettingsBufferSize - 2] = '\0';
  for (const char* line = lines; *line != '\0'; line += std::strlen(line) + 1) {
    const int found = ConversionEntryName(line, g_FileBaseName, kFileBaseNameSize);
    if (found == 0) continue;
    if (found < 0) {
      // Longer than any file base name the conversion can take: say so and go on.
      const char* name = std::strchr(line[0] == '/' ? line + 1 : line, '/') + 1;
      AppendErrorLine(name, "の名前が長すぎるため変換しません(RunBatch)\n");
      continue;
    }
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

  if (folderMode) {
    ShowMessageBox("Debug時はFTP.exeは使用しません。", "Quenvale", kMbOk);
    char transfer[kPathBufferSize];
    CopyText(transfer, kPathBufferSize, g_ProgramFolder);
    AppendText(transfer, kPathBufferSize, "DB2");
    result = CopyDb2Files(address, transfer);
  } else {
    RunFtpJob();
  }

  if (result >= 0) {
    ShowIndicator(nullptr, 1);
    result = RotateBackups(result);
    if (result >= 0 && LoadSingleByteTable() != 0) {
      LoadUserDoubleByteTable();
      WriteRunLog("CSV変換");
      result = ConvertListedFiles(result);
    }
  }

  WriteRunLog(result < 0 ? "ｷｬﾝｾﾙ" : "終了");
  ShowIndicator(nullptr, 0);
  return result;
}
