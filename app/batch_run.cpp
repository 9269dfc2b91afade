#include "app/batch_run.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/code_error_file.h"
#include "app/process_state.h"
#include "app/progress.h"
#include "app/run_log.h"
#include "app/settings_file.h"
#include "backup/backup_rotation.h"
#include "base/path.h"
#include "base/sjis.h"
#include "base/texts.h"
#include "convert/field_list.h"
#include "convert/host_layout.h"
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
  bool cut;      // the image in the transfer folder is not a whole number of its records
  bool cutFetched;  // this run fetched a cut image (kept aside, or left in place)
  bool existedBefore;
  FileInfo before;
  FieldDescription description;  // <name>.fdf, read once for the cut check and the conversion
  char hostName[kFindNameSize];  // folder mode: the cut image's name in the host folder
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

// Records of the entry's description, 0 when it has none to judge by.
uint64_t RecordLengthOf(const ListedFile& f) {
  return f.description.valid ? static_cast<uint64_t>(f.description.list.recordLength()) : 0;
}

// Folder mode: a host image that is not a whole number of its records is
// not copied over the image in the transfer folder; the batch keeps it
// aside instead (KeepCutHostImagesAside).
struct CutAtHost : CopyFilter {
  ConversionList* list;
  const char* hostFolder;

  bool Leaves(const char* fileName) const override {
    char path[kPathBufferSize];
    FileInfo image;
    if (!JoinPath(path, sizeof path, hostFolder, fileName) || !FileInfoOf(path, &image)) return false;
    bool cut = false;
    for (int i = 0; i < list->count; ++i) {
      ListedFile& f = list->files[i];
      const uint64_t length = RecordLengthOf(f);
      if (!f.fromGet || !f.usable || !IsImageOf(fileName, f.name) || length == 0 ||
          image.size % length == 0) {
        continue;
      }
      f.cutFetched = true;
      CopyText(f.hostName, sizeof f.hostName, fileName);
      cut = true;
    }
    return cut;
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
    f.cutFetched = false;
    f.existedBefore = false;
    f.description.opened = false;
    f.description.valid = false;
    f.description.list.count = 0;
    f.hostName[0] = '\0';
    ++list->count;
  }
}

// Each usable entry's <name>.fdf, once: the cut check and the conversion
// share it.
void ReadDescriptions(ConversionList* list) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    if (!f.usable || !JoinPath(path, sizeof path, list->programFolder, f.name) ||
        !AppendText(path, sizeof path, ".fdf")) {
      continue;
    }
    ReadFieldDescription(path, &f.description);
  }
}

// True when the image at path is there and is not a whole number of the
// entry's records.
bool ImageIsCut(const ListedFile& f, const char* path) {
  FileInfo image;
  const uint64_t length = RecordLengthOf(f);
  return length != 0 && FileInfoOf(path, &image) && !image.isDirectory && image.size % length != 0;
}

// "<name>.DB2の大きさが…、<name>.DB2.cutとして残し、…" for a cut image kept aside.
void TellKeptAside(const ListedFile& f, ErrorText* errors) {
  char aside[kFileBaseNameSize + 16];
  std::snprintf(aside, sizeof aside, "%s.DB2.cut", f.name);
  char message[256];
  std::snprintf(message, sizeof message, kTextImageCutKeptAsideFormat, aside);
  errors->AppendLine(f.name, message);
}

// FTP mode: the fetch may put a cut image where the good one was, and the
// client is not ours to ask. So each image a get line may replace waits
// under <name>.DB2.prev until the fetch is over; then a whole new image
// takes its place for good, a cut one is moved to <name>.DB2.cut and the
// previous image put back, and without a new one the previous comes back
// as it was. A run that died in between left the .prev: the next run
// settles it the same way before it fetches.
void SettleAsides(ConversionList* list, ErrorText* errors, bool afterFetch) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char image[kPathBufferSize];
    char previous[kPathBufferSize];
    char cut[kPathBufferSize];
    FileInfo info;
    if (!f.fromGet || !f.usable || !TransferImagePath(image, sizeof image, list->programFolder, f.name) ||
        !TransferImagePath(previous, sizeof previous, list->programFolder, f.name, ".prev") ||
        !TransferImagePath(cut, sizeof cut, list->programFolder, f.name, ".cut") ||
        !FileInfoOf(previous, &info) || info.isDirectory || PathIsLink(previous)) {
      continue;
    }
    if (!FileInfoOf(image, &info)) {
      FileReplace(previous, image);  // nothing came: the previous image as it was
    } else if (ImageIsCut(f, image)) {
      // The previous image goes back even when the cut one cannot be kept.
      const bool kept = !PathIsLink(image) && FileReplace(image, cut);
      if (!FileReplace(previous, image)) continue;  // the next run tries again
      // Not converted, under any line that names it.
      for (int j = 0; afterFetch && j < list->count; ++j) {
        ListedFile& same = list->files[j];
        if (same.fetched && std::strcmp(same.name, f.name) == 0) same.cutFetched = true;
      }
      if (kept) {
        TellKeptAside(f, errors);
      } else {
        errors->AppendLine(f.name, kTextImageCut);
      }
    } else {
      FileDelete(previous);
    }
  }
}

// The FTP client is not ours to ask (the system's ftp.exe may run), so what
// it fetched is judged by the files: an image counts as fetched when it is
// there and is not the file it was before the job (another file, or written
// anew: other size or time).
void NoteImagesBefore(ConversionList* list) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    char previous[kPathBufferSize];
    if (!f.fromGet || f.found != kNameFound ||
        !TransferImagePath(path, sizeof path, list->programFolder, f.name)) {
      continue;
    }
    f.existedBefore = FileInfoOf(path, &f.before);
    // Out of the fetch's way, so that a cut image cannot take its place.
    if (f.existedBefore && !f.before.isDirectory && f.usable && !PathIsLink(path) &&
        TransferImagePath(previous, sizeof previous, list->programFolder, f.name, ".prev") &&
        FileReplace(path, previous)) {
      f.existedBefore = false;  // any image after the fetch is the fetch's
    }
  }
}

void NoteImagesAfter(ConversionList* list) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    FileInfo now;
    if (!f.fromGet || f.found != kNameFound ||
        !TransferImagePath(path, sizeof path, list->programFolder, f.name) ||
        !FileInfoOf(path, &now) || now.isDirectory) {
      continue;
    }
    const FileInfo& was = f.before;
    f.fetched = !f.existedBefore || now.lastWrite != was.lastWrite || now.size != was.size ||
                now.volume != was.volume || now.index != was.index;
  }
}

// An image in the transfer folder that is not a whole number of the records
// its .fdf describes was cut on the way (a server that sent part of a
// member and said nothing), this run or an earlier one: it must not be
// backed up over a good copy nor replace a good CSV. Every image about to
// be backed up is looked at, not only those this run fetched. Each such
// entry gets one line; an entry whose .fdf cannot be read is left to the
// conversion to report.
void FindCutImages(ConversionList* list, ErrorText* errors) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    char path[kPathBufferSize];
    if (!f.usable || !TransferImagePath(path, sizeof path, list->programFolder, f.name) ||
        !ImageIsCut(f, path)) {
      continue;
    }
    // Already reported once for an entry listed twice.
    bool reported = false;
    for (int j = 0; j < i; ++j) {
      reported = reported || (list->files[j].cut && std::strcmp(list->files[j].name, f.name) == 0);
    }
    f.cut = true;
    if (!reported) errors->AppendLine(f.name, kTextImageCut);
  }
}

// Folder mode: the host images the copy left because they were cut go to
// <name>.DB2.cut beside the good image, which stays.
void KeepCutHostImagesAside(ConversionList* list, const char* hostFolder, ErrorText* errors) {
  for (int i = 0; i < list->count; ++i) {
    ListedFile& f = list->files[i];
    if (!f.cutFetched) continue;
    bool done = false;
    for (int j = 0; j < i; ++j) done = done || (list->files[j].cutFetched && std::strcmp(list->files[j].name, f.name) == 0);
    if (done) continue;
    char from[kPathBufferSize];
    char to[kPathBufferSize];
    if (!JoinPath(from, sizeof from, hostFolder, f.hostName) ||
        !TransferImagePath(to, sizeof to, list->programFolder, f.name, ".cut")) {
      continue;
    }
    const int code = CopyFileWithProgress(from, to, "", IndicatorProgress(), true);
    if (code > 0) {
      char message[64];
      std::snprintf(message, sizeof message, kTextCopyFailedFormat, code);
      char shown[kFileBaseNameSize + 16];
      std::snprintf(shown, sizeof shown, "%s.DB2.cut", f.name);
      errors->AppendLine(shown, message);
    }
    TellKeptAside(f, errors);
  }
}

// <program folder>DB2<sep><name>.FFD, where the fetch stores the host's
// description of the entry's file (CheckLayout).
bool DescriptionPath(const char* programFolder, const char* name, char* path, int size) {
  return TransferImagePath(path, size, programFolder, name) &&
         CopyText(path + std::strlen(path) - 3, 4, "FFD");
}

// CheckLayout checks the entries whose description the fetch brings: in FTP
// mode those of get lines (a line that only names a file to convert has
// none), in folder mode every entry.
bool LayoutChecked(const ConversionList& list, const ListedFile& f) {
  return f.usable && (f.fromGet || !list.ftpMode);
}

// CheckLayout: a description left from an earlier night must not pass for
// tonight's, so each checked entry's goes before the fetch.
void RemoveDescriptions(const ConversionList& list) {
  for (int i = 0; i < list.count; ++i) {
    char path[kPathBufferSize];
    if (LayoutChecked(list, list.files[i]) &&
        DescriptionPath(list.programFolder, list.files[i].name, path, sizeof path)) {
      FileDelete(path);
    }
  }
}

// Folder mode: <entry>.FFD beside <entry>.DB2 in the host folder comes with it.
void CopyDescriptions(const ConversionList& list, const char* hostFolder) {
  const char sep[2] = {kPathSep, '\0'};
  for (int i = 0; i < list.count; ++i) {
    const ListedFile& f = list.files[i];
    char from[kPathBufferSize];
    char to[kPathBufferSize];
    if (!f.usable || !CopyText(from, sizeof from, hostFolder) || !AppendText(from, sizeof from, sep) ||
        !AppendText(from, sizeof from, f.name) || !AppendText(from, sizeof from, ".FFD") ||
        !DescriptionPath(list.programFolder, f.name, to, sizeof to)) {
      continue;
    }
    // Found as the images are, letters in either case. A missing one is
    // told when the entry is checked.
    FindEntry found;
    FindHandle search = FindFirst(from, &found);
    if (search == nullptr) continue;
    from[std::strlen(from) - std::strlen(f.name) - 4] = '\0';
    if (!found.isDirectory && AppendText(from, sizeof from, found.name)) {
      CopyFileWithProgress(from, to, "", IndicatorProgress(), true);
    }
    FindEnd(search);
  }
}

// True when file is the host file of entry: the entry's name is the file's,
// or the file's, "_" and the member.
bool DescribesEntry(const std::string& file, const char* entry) {
  const size_t length = file.size();
  return SameName(entry, file.c_str()) ||
         (std::strlen(entry) > length && entry[length] == '_' && SameName(entry, length, file.c_str()));
}

bool ReadBytes(const char* path, std::string* bytes) {
  FILE* file = OpenStream(path, "rb");
  if (file == nullptr) return false;
  char block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0 && bytes->size() <= kMaxHostDescriptionSize) {
    bytes->append(block, n);
  }
  const bool read = std::ferror(file) == 0;
  std::fclose(file);
  return read;
}

// CheckLayout: true when the list fdfmake makes from tonight's description
// of the host file describes the record the entry's .fdf does (names
// aside). Otherwise one error line; when the layout changed, the list made
// from the description is written beside the entry's as <entry>.fdf.new for
// the user to review. A .fdf that cannot be read is left to the conversion
// to report.
bool LayoutHolds(ProcessState& state, const ListedFile& entry) {
  const char* name = entry.name;
  char path[kPathBufferSize];
  std::string bytes;
  std::vector<HostFileLayout> files;
  std::string report;
  const std::string source = std::string(name) + ".FFD";
  if (DescriptionPath(state.programFolder, name, path, sizeof path) && ReadBytes(path, &bytes)) {
    ReadHostDescription(bytes.data(), bytes.size(), source.c_str(), state.tables.singleByte, &files, &report);
  }
  // One file, and the entry's: a DSPFFD that failed on the host leaves the
  // previous file's description in QTEMP for the get to fetch.
  if (files.size() != 1 || !DescribesEntry(files[0].file, name)) {
    state.errors.AppendLine(name, kTextLayoutUnreadable);
    return false;
  }
  if (!entry.description.valid) return true;
  const FieldList& listed = entry.description.list;
  const std::string fdfName = std::string(name) + ".fdf";
  if (!JoinPath(path, sizeof path, state.programFolder, fdfName.c_str())) return true;

  char date[16] = "";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* t = std::localtime(&now)) std::strftime(date, sizeof date, "%Y-%m-%d", t);
  std::string made;
  FieldList madeList;
  // A description no list can be made from (a field no type holds) is a
  // layout the entry's list cannot describe either.
  const bool madeOk = MakeFieldListText(files[0], source.c_str(), date, &made, &report) &&
                      ParseFieldList(made.data(), made.size(), &madeList);
  if (madeOk && SameLayout(listed, madeList)) return true;
  state.errors.AppendLine(name, kTextLayoutChanged);
  if (madeOk && AppendText(path, sizeof path, ".new")) {
    char temp[kTempPathSize];
    FILE* out = OpenTempStream(path, "w", temp, sizeof temp);
    if (out != nullptr) {
      if (std::fwrite(made.data(), 1, made.size(), out) == made.size()) {
        CommitTempStream(out, temp, path);
      } else {
        DiscardTempStream(out, temp);
      }
    }
  }
  return false;
}

int ConvertEach(ProcessState& state, const ConversionList& list, int result, FILE* codeErrorRows);

// Converts every listed file; returns the run result.
int ConvertListedFiles(ProcessState& state, const ConversionList& list, int result,
                       const char* transferFolder) {
  // One report of the night: every converted file's rows (the first column
  // names the file), replacing the last run's whole.
  static CodeErrorFile report;
  if (transferFolder[0] == '\0') return ConvertEach(state, list, result, nullptr);
  report.Open(transferFolder, &state.errors);
  result = ConvertEach(state, list, result, report.stream());
  report.Close(result >= 0 && !StopRequested(), &state.errors);
  return result;
}

int ConvertEach(ProcessState& state, const ConversionList& list, int result, FILE* codeErrorRows) {
  const Conversion with{state.job(), &state.tables, IndicatorProgress(), codeErrorRows};
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
    if (f.cutFetched) continue;  // reported when it was kept aside
    if (f.fromGet && !f.fetched) {
      // An image left from an earlier run must not pass for today's data.
      state.errors.AppendLine(f.name, kTextNotFetched);
      continue;
    }
    if (f.cut) continue;  // reported when it was found
    if (state.settings.checkLayout == 1 && LayoutChecked(list, f) && !LayoutHolds(state, f)) continue;
    CopyText(state.fileBaseName, kFileBaseNameSize, f.name);
    Conversion entry = with;
    entry.description = &f.description;
    result = toCSV(entry, "DB2", state.fileBaseName, nullptr);
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
  // and backups the first is writing. It touches nothing, not even the
  // log the first is writing: its line goes to standard error.
  FolderLockGuard lock;
  const LockResult locked = lock.Take(state.programFolder);
  int result = kRunFailed;
  if (locked == LockResult::kBusy) {
    TellWithoutWaiting(kTextBusyEntry, "Quenvale");
  } else if (locked == LockResult::kFailed) {
    // No other run is known to write the log: it says why, when it can.
    TellWithoutWaiting(kTextLockFailed, "Quenvale");
    log.Write(RunLogEvent::kOpen);
    log.Write(RunLogEvent::kLockFailed);
  } else {
    result = RunBatchLocked(state, log);
    // Any error line makes the night a failure, whatever the last entry
    // gave; a cancel or an abort keeps its own code.
    if (result >= 0 && !state.errors.empty()) result = kRunFailed;
  }
  // A run whose log cannot be written must not pass for one that went well.
  if (log.failed()) {
    TellWithoutWaiting(log.linked() ? kTextLogIsLink : kTextLogFailed, "Quenvale");
    if (result >= 0) result = kRunFailed;
  }
  return result;
}

namespace {

int RunBatchLocked(ProcessState& state, RunLog& log) {
  // First of all: a script that a killed run left still holds the password.
  BlankScriptPassword(state.programFolder);
  // Once, under the lock: every step of the run sees the same settings.
  LoadSettings(state.settingsPath, &state.settings, &state.errors);
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
  char transferFolder[kPathBufferSize] = "";
  if (JoinPath(transferFolder, sizeof transferFolder, state.programFolder, "DB2")) {
    // A link planted at the transfer folder would take the images and CSVs
    // into the folder it names: nothing is fetched, backed up or written.
    if (PathIsLink(transferFolder)) {
      state.errors.AppendLine("DB2", kTextTransferFolderIsLink);
      log.Write(RunLogEvent::kEnd);
      return 0;
    }
    RemoveLeftoverTemps(transferFolder);
  }

  static ConversionList list;
  list.programFolder = state.programFolder;
  ReadConversionList(state.settings, &list, &state.errors);
  ReadDescriptions(&list);
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
    if (state.settings.checkLayout == 1) RemoveDescriptions(list);
    CutAtHost cutAtHost;
    cutAtHost.list = &list;
    cutAtHost.hostFolder = address;
    result = CopyDb2Files(address, transfer, IndicatorProgress(), &state.errors, &list, true, &cutAtHost);
    if (result >= 0) KeepCutHostImagesAside(&list, address, &state.errors);
    if (state.settings.checkLayout == 1 && result >= 0) CopyDescriptions(list, address);
  } else {
    SettleAsides(&list, &state.errors, false);
    if (state.settings.checkLayout == 1) RemoveDescriptions(list);
    NoteImagesBefore(&list);
    RunFtpJob(job);
    // Used: the password is no longer kept.
    WipeText(&state.settings.password[0], state.settings.password.size());
    state.settings.password.clear();
    NoteImagesAfter(&list);
    SettleAsides(&list, &state.errors, true);
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
      result = ConvertListedFiles(state, list, result, transferFolder);
    }
  }
  // A stop asked for at any point ends the run as a cancel does.
  if (StopRequested()) result = -1;

  log.Write(result < 0 ? RunLogEvent::kCancel : RunLogEvent::kEnd);
  ShowIndicator(0);
  return result;
}

}  // namespace
