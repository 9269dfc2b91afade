#include "backup/backup_rotation.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/error_text.h"
#include "base/path.h"
#include "base/settings.h"
#include "base/sjis.h"
#include "base/text.h"
#include "base/texts.h"
#include "platform/fileio.h"
#include "platform/profile.h"
#include "transfer/folder_copy.h"

namespace {

constexpr int kBackupPathSize = 3000;

const char* const kWeekdayFolders[7] = {"(0)Sunday",   "(1)Monday", "(2)Tuesday", "(3)Wednesday",
                                        "(4)Thursday", "(5)Friday", "(6)Saturday"};

// Calendar rule, for the rare year that the C library cannot place in time.
int CalendarDays(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  month = ((month - 1) % 12 + 12) % 12;
  if (month == 1 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month];
}

// Whether a folder copy left every image whole in its target.
struct WholeCopy : CopiedFiles {
  bool whole = true;
  void Copied(const char*) override {}
  void NotCopied(const char*, int) override { whole = false; }
};

// A folder of its own, not a link planted at its name: swept and written.
bool IsOwnFolder(const char* path) {
  FileInfo info;
  return !PathIsLink(path) && FileInfoOf(path, &info) && info.isDirectory;
}

// Temporary files that killed runs left in any of the backup folders: a
// week's or a year's may wait in a folder no run writes today.
void RemoveLeftoversInBackupFolders(const char* root) {
  char folder[kBackupPathSize];
  for (const char* weekday : kWeekdayFolders) {
    std::snprintf(folder, sizeof folder, "%s%s", root, weekday);
    if (IsOwnFolder(folder)) RemoveLeftoverTemps(folder);
  }
  for (int month = 1; month <= 12; ++month) {
    std::snprintf(folder, sizeof folder, kTextMonthlyFolderFormat, root, month);
    if (IsOwnFolder(folder)) RemoveLeftoverTemps(folder);
  }
}

// A weekday or monthly folder: made when missing; a link at its name is
// refused (one line, code 1), as a link at a file is, so that nothing is
// written into the folder it names.
int MakeBackupFolder(const char* path, ErrorText* errors) {
  if (PathIsLink(path)) {
    errors->AppendLine(path, kTextBackupFolderIsLink);
    return kCopyOpenFailed;
  }
  return MakeFolder(path, errors);
}

}  // namespace

int DaysInMonth(int year, int month) {
  // Day 0 of the month after: mktime settles it on the last day of this one
  // (month 12 becomes 31 December through January of the next year).
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month;
  t.tm_mday = 0;
  const time_t when = std::mktime(&t);
  if (when == static_cast<time_t>(-1)) return CalendarDays(year, month);
  const struct tm* local = std::localtime(&when);
  if (local == nullptr) return CalendarDays(year, month);
  return local->tm_mday;
}

int BackupPeriod(int date, int monthBackup) {
  int period = date / 100;
  if (date > 0) {
    const int day = date % 100;
    const int month = (date / 100) % 100;
    const int year = date / 10000;
    if (monthBackup == 99) {
      if (day < DaysInMonth(year, month)) --period;
    } else if (day < monthBackup) {
      --period;
    }
  }
  if (period % 100 == 0) period -= 88;  // YYYY00 is December of the year before
  return period;
}

int MakeFolder(const char* path, ErrorText* errors) {
  const int code = CreateFolder(path);
  if (code == 0) return 0;
  // Only a folder will do: a file of that name would fail every copy into
  // it; a drive's root (E:\) is a folder that cannot be created.
  FileInfo info;
  if (FileInfoOf(path, &info) && info.isDirectory) return 0;
  // The folder first: "ファイルが見つかりません。" alone names no drive.
  char message[kPathBufferSize + 4];
  CopyText(message, sizeof message, ": ");
  SystemErrorText(code, message + 2, kPathBufferSize);
  errors->AppendLine(path, message[2] != '\0' ? message : "");
  return -1;
}

void ReadBackupRoot(const Settings& settings, char* root, ErrorText* errors) {
  // A cut root would be another folder: no backup rather than one there.
  if (settings.backupDir.size() > static_cast<size_t>(kPathBufferSize - 1)) {
    root[0] = '\0';
    errors->AppendLine("BackupDir", kTextBackupDirTooLong);
    return;
  }
  CopySetting(root, kPathBufferSize, settings.backupDir);
}

int RotateBackups(const JobContext& job, const char* backupRoot, int dateCode, Progress* progress,
                  const CopyFilter* leave) {
  // One byte beyond the 255 read, for the separator appended below.
  char root[kPathBufferSize + 1];
  CopyText(root, kPathBufferSize, backupRoot);
  int result = MakeFolder(root, job.errors);
  if (result < 0) return result;

  // The last byte may be the trail byte 0x5C of a character such as 表: only
  // a separator that stands alone ends the root.
  const int len = static_cast<int>(std::strlen(root));
  if (ClassifySjisByte(root, len - 1) != static_cast<unsigned char>(kPathSep)) {
    root[len] = kPathSep;
    root[len + 1] = '\0';
  }

  char source[kBackupPathSize];
  std::snprintf(source, sizeof source, "%s%s", job.programFolder, "DB2");
  char folder[kBackupPathSize];
  RemoveLeftoversInBackupFolders(root);
  std::snprintf(folder, sizeof folder, "%s%s", root, kWeekdayFolders[dateCode % 10 % 7]);
  result = MakeBackupFolder(folder, job.errors);
  if (result < 0) return result;
  if (result == 0) {
    result = CopyDb2Files(source, folder, progress, job.errors, nullptr, false, leave);
    if (result < 0) return result;
  }

  const int monthBackup = job.settings->monthBackup;
  if (monthBackup <= 0) return result;
  const int last = job.settings->lastMonthBackup;
  const int today = dateCode / 10;
  if (last > today) {
    // A run with the clock ahead wrote it: taken as done, it would stop the
    // monthly backups until that date comes.
    char message[160];
    std::snprintf(message, sizeof message, kTextLastMonthBackupAheadFormat, last);
    job.errors->AppendLine("Last_MonthBackup", message);
  } else if (BackupPeriod(today, monthBackup) <= BackupPeriod(last, monthBackup)) {
    return result;
  }

  // Named after the calendar month of the run, not the month of the period.
  std::snprintf(folder, sizeof folder, kTextMonthlyFolderFormat, root, (dateCode / 1000) % 100);
  result = MakeBackupFolder(folder, job.errors);
  if (result != 0) return result;
  WholeCopy monthly;
  result = CopyDb2Files(source, folder, progress, job.errors, &monthly, false, leave);
  if (result < 0) return result;
  // A failed copy (a positive code) or an image left out keeps last year's
  // file in the month's folder: unrecorded, the next run of the period
  // tries again.
  if (!monthly.whole) return result;

  char value[16];
  std::snprintf(value, sizeof value, "%d", today);
  // Unrecorded, the month's copy would be made again at every run of the
  // month, each over the last with newer data.
  if (ProfileWriteString("Quenvale", "Last_MonthBackup", value, job.settingsPath) == 0) {
    job.errors->AppendLine("Quenvale.ini", kTextSettingsWriteFailed);
  } else {
    // The run's settings say what the file now says.
    job.settings->lastMonthBackup = today;
  }
  return result;
}
