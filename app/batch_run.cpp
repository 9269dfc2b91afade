#include "app/batch_run.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/process_state.h"
#include "app/progress.h"
#include "app/run_log.h"
#include "app/settings_file.h"
#include "backup/backup_rotation.h"
#include "base/path.h"
#include "base/sjis.h"
#include "base/texts.h"
#include "convert/field_list.h"
#include "convert/to_csv.h"
#include "platform/fileio.h"
#include "platform/stream.h"
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
  bool cut;      // its image is not a whole number of its records
  bool existedBefore;
  FileInfo before;
};

// A line that names a file holds at least "//." and its zero.
constexpr int kMaxListedFiles = kMaxDb2SectionSize / 4 + 1;

// The files a run converts, from its [DB2] section; folder mode's copy tells
// it which images it made, and it tells the backup which images to leave.
struct ConversionList : CopiedFiles, CopyFilter {
  char section[kMaxDb2SectionSize];
  ListedFile files[kMaxListedFiles];
  int count;
  bool ftpMode;
  const char* programFolder;

  void Copied(const char* fileName) override {
    for (int i = 0; i < count; ++i) {
      ListedFile& f = files[i];
      if (f.fromGet && f.found == kNameFound && IsImageOf(fileName, f.name)) f.fetched = true;
    }
  }

  bool Leaves(const char* fileName) const override {
    for (int i = 0; i < count; ++i) {
      if (files[i].cut && IsImageOf(fileName, files[i].name)) return true;
    }
    return false;
  }
};

// Folder mode when a path separator stands as a character of its own at one
// of the address's first three positions (\\server\share, D:\data; on POSIX
// /srv/host, ./host, ../host).
bool IsFolderAddress(const char* address) {
  for (int i = 0; i < 3; ++i) {
    if (ClassifySjisByte(address, i) == static_cast<unsigned char>(kPathSep)) return true;
  }
  return false;
}

void ReadConversionList(const Settings& settings, ConversionList* list, ErrorText* errors) {
  // The FTP job reads the same lines: what it fetches is converted. A
  // section past the limit is told, not cut in silence.
  if (!ReadDb2Section(list->section, kMaxDb2SectionSize, settings.db2)) {
    errors->AppendLine("[DB2]", kTextDb2SectionCut);
  }
  list->count = 0;
  for (const char* line = list->section; *line != '\0'; line += std::strlen(line) + 1) {
    ListedFile& f = list->files[list->count];
    f.found = ConversionEntryName(line, f.name, kFileBaseNameSize);
    if (f.found == kNoName) continue;
    f.line = line;
    const Db2Command command = CommandOf(line);
    // A get line of more than one word fetches nothing into the transfer
    // folder (the FTP job refuses it): its name is not today's image.
    f.usable = f.found == kNameFound && IsUsableEntryName(f.name) &&
               (command != Db2Command::kGet || HasOneRemoteWord(line));
    char transferName[kFileBaseNameSize * 4];
    f.refusedByFtpJob = (command == Db2Command::kGet || command == Db2Command::kPut) &&
                        TransferEntryName(line, transferName, sizeof transferName) == kNameFound &&
                        (!IsUsableEntryName(transferName) || !HasOneRemoteWord(line));
    f.fromGet = command == Db2Command::kGet;
    f.fetched = false;
    f.cut = false;
    f.existedBefore = false;
    ++list->count;
  }
}

// <program folder>DB2<sep><name>.DB2, where the fetch stores the image.
bool ImagePath(const char* programFolder, const char* name, char* path, int size) {
  const char sep[2] = {kPathSep, '\0'};
  return CopyText(path, size, programFolder) && AppendText(path, size, "DB2") &&
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
    if (!f.fromGet || f.found != kNameFound ||
        !ImagePath(list->programFolder, f.name, path, sizeof path)) {
      continue;
    }
    f.existedBefore = FileInfoOf(path, &f.before);
  }
}

void NoteImagesAfter(ConversionList* list) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    FileInfo now;
    if (!f.fromGet || f.found != kNameFound ||
        !ImagePath(list->programFolder, f.name, path, sizeof path) ||
        !FileInfoOf(path, &now) || now.isDirectory) {
      continue;
    }
    const FileInfo& was = f.before;
    f.fetched = !f.existedBefore || now.lastWrite != was.lastWrite || now.size != was.size ||
                now.volume != was.volume || now.index != was.index;
  }
}

// A fetched image that is not a whole number of the records its .fdf
// describes was cut on the way (a server that sent part of a member and
// said nothing): it must not be backed up over a good copy nor replace a
// good CSV. Each such entry gets one line; an entry whose .fdf cannot be
// read is left to the conversion to report.
void FindCutImages(ConversionList* list, ErrorText* errors) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    if (!f.fetched || !f.usable) continue;
    char path[kPathBufferSize];
    FileInfo image;
    if (!ImagePath(list->programFolder, f.name, path, sizeof path) || !FileInfoOf(path, &image) ||
        image.isDirectory) {
      continue;
    }
    FieldList fields;
    fields.count = 0;
    if (!JoinPath(path, sizeof path, list->programFolder, f.name) ||
        !AppendText(path, sizeof path, ".fdf")) {
      continue;
    }
    FILE* fdf = OpenStream(path, "r");
    if (fdf == nullptr) continue;
    const bool read = ReadFieldList(fdf, &fields);
    std::fclose(fdf);
    const uint64_t length = read ? static_cast<uint64_t>(fields.recordLength()) : 0;
    if (length == 0 || image.size % length == 0) continue;
    // Already reported once for an entry listed twice.
    bool reported = false;
    for (int j = 0; j < i; ++j) {
      reported = reported || (list->files[j].cut && std::strcmp(list->files[j].name, f.name) == 0);
    }
    f.cut = true;
    if (!reported) errors->AppendLine(f.name, kTextImageCut);
  }
}

// Converts every listed file; returns the run result.
int ConvertListedFiles(ProcessState& state, const ConversionList& list, int result) {
  const Conversion with{state.job(), &state.tables, IndicatorProgress(), nullptr};
  for (int i = 0; i < list.count; ++i) {
    const ListedFile& f = list.files[i];
    if (StopRequested()) return -1;
    if (f.found == kNameTooLong) {
      // Longer than any file base name the conversion can take: say so and go on.
      state.errors.AppendLine(f.line, kTextNameTooLongBatch);
      continue;
    }
    if (!f.usable) {
      // Its files would lie outside the transfer folder. The FTP job has
      // said so of the lines it left out.
      if (!(list.ftpMode && f.refusedByFtpJob)) {
        char shown[kFileBaseNameSize];
        ShowableName(f.name, shown, sizeof shown);
        state.errors.AppendLine(shown, kTextUnusableNameBatch);
      }
      continue;
    }
    if (f.cut) continue;  // reported when it was found
    if (f.fromGet && !f.fetched) {
      // An image left from an earlier run must not pass for today's data.
      state.errors.AppendLine(f.name, kTextNotFetched);
      continue;
    }
    CopyText(state.fileBaseName, kFileBaseNameSize, f.name);
    result = toCSV(with, "DB2", state.fileBaseName, nullptr);
    if (result < 0) break;
  }
  return result;
}

// The lock of the program folder, held for the whole batch run.
class FolderLockGuard {
 public:
  LockResult Take(const char* programFolder) {
    char path[kPathBufferSize];
    if (!JoinPath(path, sizeof path, programFolder, "Quenvale.lock")) return LockResult::kFailed;
    return LockFile(path, &held_);
  }
  ~FolderLockGuard() { FileClose(held_); }

 private:
  FileHandle held_ = nullptr;
};

int RunBatchLocked(ProcessState& state, RunLog& log);

}  // namespace

int RunBatch(ProcessState& state) {
  RunLog log(state.programFolder, &state.errors);
  // One batch run per program folder: a second one would cut the images
  // and backups the first is writing. It touches nothing but the log.
  FolderLockGuard lock;
  const LockResult locked = lock.Take(state.programFolder);
  int result = kRunFailed;
  if (locked == LockResult::kBusy) {
    log.Write(RunLogEvent::kOpen);
    log.Write(RunLogEvent::kBusy);
  } else if (locked == LockResult::kFailed) {
    TellWithoutWaiting(kTextLockFailed, "Quenvale");
  } else {
    result = RunBatchLocked(state, log);
    // Any error line makes the night a failure, whatever the last entry
    // gave; a cancel or an abort keeps its own code.
    if (result >= 0 && !state.errors.empty()) result = kRunFailed;
  }
  // A run whose log cannot be written must not pass for one that went well.
  if (log.failed()) {
    TellWithoutWaiting(kTextLogFailed, "Quenvale");
    if (result >= 0) result = kRunFailed;
  }
  return result;
}

namespace {

int RunBatchLocked(ProcessState& state, RunLog& log) {
  // First of all: a script that a killed run left still holds the password.
  BlankScriptPassword(state.programFolder);
  // Once, under the lock: every step of the run sees the same settings.
  LoadSettings(state.settingsPath, &state.settings);
  const JobContext job = state.job();
  int result = 0;
  log.Write(RunLogEvent::kOpen);

  static char address[kSettingsBufferSize];
  CopySetting(address, kSettingsBufferSize, state.settings.ipAddress);
  const bool folderMode = IsFolderAddress(address);

  if (!folderMode && CheckHost(address) != 0) {
    log.Write(RunLogEvent::kAbort);
    return -1;
  }
  log.Write(RunLogEvent::kStart);

  // Temporary files that a run which died left where this one writes.
  RemoveLeftoverTemps(state.programFolder);
  char transferFolder[kPathBufferSize];
  if (JoinPath(transferFolder, sizeof transferFolder, state.programFolder, "DB2")) {
    RemoveLeftoverTemps(transferFolder);
  }

  static ConversionList list;
  list.programFolder = state.programFolder;
  ReadConversionList(state.settings, &list, &state.errors);
  list.ftpMode = !folderMode;
  if (folderMode) {
    ShowBox(kTextFolderModeBox, "Quenvale", kMbOk);
    char transfer[kPathBufferSize];
    CopyText(transfer, kPathBufferSize, state.programFolder);
    AppendText(transfer, kPathBufferSize, "DB2");
    // A first run has no transfer folder yet; the FTP job makes its own.
    CreateFolder(transfer);
    // No progress window yet: the copy shows nothing and can only be stopped.
    // The host folder is the user's: a link there is followed.
    result = CopyDb2Files(address, transfer, IndicatorProgress(), &state.errors, &list, true);
  } else {
    NoteImagesBefore(&list);
    RunFtpJob(job);
    // Used: the password is no longer kept.
    WipeText(&state.settings.password[0], state.settings.password.size());
    state.settings.password.clear();
    NoteImagesAfter(&list);
  }
  if (StopRequested()) result = -1;
  FindCutImages(&list, &state.errors);

  if (result >= 0) {
    ShowIndicator(1);
    char root[kPathBufferSize];
    ReadBackupRoot(state.settings, root, &state.errors);
    if (root[0] != '\0') {
      const int dateCode = log.Write(RunLogEvent::kBackup);
      result = RotateBackups(job, root, dateCode, IndicatorProgress(), &list);
    }
    if (result >= 0 && !state.settings.shiftJis) {
      // Its tables would turn every katakana and Kanji into others.
      state.errors.AppendLine("Quenvale.ini", kTextSaveAsShiftJis);
    } else if (result >= 0 && LoadSingleByteTable(state.settings, &state.tables) != 0) {
      LoadUserDoubleByteTable(state.settings, &state.tables);
      log.Write(RunLogEvent::kConvert);
      result = ConvertListedFiles(state, list, result);
    }
  }
  // A stop asked for at any point ends the run as a cancel does.
  if (StopRequested()) result = -1;

  log.Write(result < 0 ? RunLogEvent::kCancel : RunLogEvent::kEnd);
  ShowIndicator(0);
  return result;
}

}  // namespace
