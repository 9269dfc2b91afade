#include "app/startup.h"

#include <cstring>

#include "app/batch_run.h"
#include "app/process_state.h"
#include "app/progress.h"
#include "app/single_file.h"
#include "base/path.h"
#include "base/texts.h"
#include "platform/module.h"
#include "platform/ui.h"

namespace {

constexpr char kCaption[] = "Quenvale";
constexpr char kProgramName[] = "Quenvale";
constexpr char kSettingsExtension[] = ".ini";
// ".db2", ".csv" and ".fdf" all have four characters.
constexpr int kExtensionLength = 4;

}  // namespace

int DeriveProgramFolder(const char* exePath, char* folder, int size) {
  if (size <= 0) return -1;
  folder[0] = '\0';
  const int length = FileNameStart(exePath);
  if (length == 0 || length >= size) return -1;
  std::memcpy(folder, exePath, static_cast<size_t>(length));
  folder[length] = '\0';
  return length;
}

const char* RefuseFileBaseName(const char* folder, const char* argString) {
  const size_t nameLength = std::strlen(argString);
  if (nameLength > static_cast<size_t>(kFileBaseNameSize - 1)) return kTextNameTooLong;
  if (std::strlen(folder) + nameLength + kExtensionLength > static_cast<size_t>(kPathBufferSize - 1)) {
    return kTextPathTooLong;
  }
  return nullptr;
}

int RunProgram(const char* argString) {
  // The one owner of the run's state; its error text starts empty.
  static ProcessState state;
  state.errors.Clear();
  if (argString == nullptr) argString = "";

  char exePath[kPathBufferSize];
  bool ready = GetExecutablePath(exePath, sizeof exePath) > 0 &&
               DeriveProgramFolder(exePath, state.programFolder, kPathBufferSize) > 0;
  ready = ready && CopyText(state.settingsPath, kPathBufferSize, state.programFolder) &&
          AppendText(state.settingsPath, kPathBufferSize, kProgramName) &&
          AppendText(state.settingsPath, kPathBufferSize, kSettingsExtension);
  if (!ready) {
    ShowBox(kTextNoProgramFolder, kCaption, kMbOk);
    return -1;
  }

  if (argString[0] == '\0') return RunBatch(state);

  // Nothing is read or written for a name the buffers cannot hold.
  const char* refusal = RefuseFileBaseName(state.programFolder, argString);
  if (refusal != nullptr) {
    ShowBox(refusal, kCaption, kMbOk);
    return -1;
  }
  CopyText(state.fileBaseName, kFileBaseNameSize, argString);
  return RunSingleFile(state);
}
