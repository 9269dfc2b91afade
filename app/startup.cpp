#include "app/startup.h"

#include <cstring>

#include "app/batch_run.h"
#include "app/process_state.h"
#include "convert/host_code.h"
#include "convert/sjis.h"
#include "convert/to_csv.h"
#include "platform/module.h"
#include "platform/platform.h"
#include "platform/ui.h"

const char kStartupCaption[] = "Quenvale";
const char kNameTooLongText[] =
    "ファイル名が長すぎます。\n変換するファイルの名前は51文字以内で指定してください。";
const char kPathTooLongText[] =
    "ファイルのパスが長すぎます。\nプログラムのフォルダとファイル名を合わせて255文字以内にしてください。";
const char kNoProgramFolderText[] =
    "プログラムのフォルダを取得できません。\nフォルダのパスが長すぎるか、使えない文字を含んでいます。";

namespace {

constexpr char kProgramName[] = "Quenvale";
constexpr char kSettingsExtension[] = ".ini";
// ".db2", ".csv" and ".fdf" all have four characters.
constexpr int kExtensionLength = 4;

int SingleFileMode() {
  // A missing [EBCDIC] section does not stop the conversion.
  LoadSingleByteTable();
  LoadUserDoubleByteTable();
  ShowIndicator(nullptr, 1);
  // toCSV shows its summary box while the progress window is still open.
  int result = toCSV("", g_FileBaseName);
  if (StopRequested()) result = -1;  // ends as a cancel, wherever the stop came
  ShowIndicator(nullptr, 0);
  return result;
}

}  // namespace

int DeriveProgramFolder(const char* exePath, char* folder, int size) {
  if (size <= 0) return -1;
  folder[0] = '\0';
  int last = -1;
  for (int i = 0; exePath[i] != '\0'; ++i) {
    if (ClassifySjisByte(exePath, i) == static_cast<unsigned char>(kPathSep)) last = i;
  }
  if (last < 0 || last + 1 >= size) return -1;
  std::memcpy(folder, exePath, static_cast<size_t>(last + 1));
  folder[last + 1] = '\0';
  return last + 1;
}

const char* RefuseFileBaseName(const char* folder, const char* argString) {
  const size_t nameLength = std::strlen(argString);
  if (nameLength > static_cast<size_t>(kFileBaseNameSize - 1)) return kNameTooLongText;
  if (std::strlen(folder) + nameLength + kExtensionLength > static_cast<size_t>(kPathBufferSize - 1)) {
    return kPathTooLongText;
  }
  return nullptr;
}

int RunProgram(const char* argString) {
  ClearErrorText();
  if (argString == nullptr) argString = "";

  char exePath[kPathBufferSize];
  bool ready = GetExecutablePath(exePath, sizeof exePath) > 0 &&
               DeriveProgramFolder(exePath, g_ProgramFolder, kPathBufferSize) > 0;
  ready = ready && CopyText(g_SettingsPath, kPathBufferSize, g_ProgramFolder) &&
          AppendText(g_SettingsPath, kPathBufferSize, kProgramName) &&
          AppendText(g_SettingsPath, kPathBufferSize, kSettingsExtension);
  if (!ready) {
    ShowMessageBox(kNoProgramFolderText, kStartupCaption, kMbOk);
    return -1;
  }

  if (argString[0] == '\0') return RunBatch();

  // Nothing is read or written for a name the buffers cannot hold.
  const char* refusal = RefuseFileBaseName(g_ProgramFolder, argString);
  if (refusal != nullptr) {
    ShowMessageBox(refusal, kStartupCaption, kMbOk);
    return -1;
  }
  CopyText(g_FileBaseName, kFileBaseNameSize, argString);
  return SingleFileMode();
}
