#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "app/run_log.h"
#include "backup/backup_rotation.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/fileio.h"
#include "platform/profile.h"
#include "tests/unit/support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const std::string kSep(1, kPathSep);

TEST(BackupPeriod, Table) {
  struct Case {
    int date, monthBackup, expected;
    const char* why;
  } const cases[] = {
      {20111024, 25, 201109, "the day before the period day belongs to the month before"},
      {20111025, 25, 201110, "the period day starts the period"},
      {20111030, 99, 201109, "99: before the last day"},
      {20111031, 99, 201110, "99: the last day starts the period"},
      {20120228, 99, 201201, "99: 28 February of a leap year is not the last day"},
      {20120229, 99, 201202, "99: 29 February 2012 is"},
      {20110228, 99, 201102, "99: 28 February of a common year is"},
      {20120110, 15, 201112, "January before the period day: December of the year before"},
      {20120115, 15, 201201, "January on the period day"},
      {20111231, 40, 201111, "a day above 31 puts every date into the month before"},
      {20111201, 1, 201112, "day 1: every date in its own month"},
      {0, 25, -88, "no earlier backup: before every real period"},
      {20111025, 0, 201110, "no period day: the date's own month"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BackupPeriod(c.date, c.monthBackup), c.expected) << c.why;
  }
}

TEST(DaysInMonth, Table) {
  struct Case {
    int year, month, expected;
  } const cases[] = {
      {2012, 2, 29}, {2011, 2, 28}, {2000, 2, 29}, {2100, 2, 28}, {2011, 1, 31},
      {2011, 4, 30}, {2011, 12, 31},  // December goes through January of the next year
      {1900, 2, 28},                  // before 1970: the calendar rule where mktime gives up
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DaysInMonth(c.year, c.month), c.expected) << c.year << "-" << c.month;
  }
}

// Double-byte file names need a Shift-JIS system code page on Windows.
bool SystemTakesShiftJisNames() {
#if defined(_WIN32)
  return GetACP() == 932;
#else
  return true;
#endif
}

// The run log's clock, for the tests that write the log around a backup.
time_t g_Now;
time_t FixedClock() { return g_Now; }

class Rotation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateFolder((program_.path() + "DB2").c_str()), 0);
    ASSERT_TRUE(WriteFileBytes(Transfer("A.DB2"), "image A"));
    ASSERT_TRUE(WriteFileBytes(Transfer("B.DB2"), "image B"));
    ASSERT_TRUE(WriteFileBytes(Transfer("A.csv"), "not backed up"));
    root_ = program_.path() + "backup";
  }
  std::string Transfer(const std::string& name) const {
    return program_.path() + "DB2" + kSep + name;
  }
  // The settings file, [Quenvale] with the given lines.
  void Settings(const std::string& lines) {
    ASSERT_TRUE(WriteFileBytes(run_.settingsPath(), "[Quenvale]\r\n" + lines));
  }
  // 9:00 of the day, for the run log; the backup takes its date code.
  void SetDate(int y, int mo, int d) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = 9;
    t.tm_isdst = -1;
    g_Now = std::mktime(&t);
    dateCode_ = DateCodeOf(t);
  }
  // The backup of the configured root, as the batch run makes it.
  int Rotate(int dateCode) {
    char root[kPathBufferSize];
    ReadBackupRoot(run_.settings(), root, &run_.errors);
    return RotateBackups(run_.job(), root, dateCode, &progress_);
  }
  int Rotate() { return Rotate(dateCode_); }
  std::string LastMonthBackup() const {
    char value[64];
    ProfileGetString("Quenvale", "Last_MonthBackup", "(none)", value, sizeof value, run_.settingsPath());
    return value;
  }
  // Whether folder under root holds both images.
  bool HoldsImages(const std::string& folder) const {
    std::string a, b;
    return ReadFileBytes(folder + kSep + "A.DB2", &a) && a == "image A" &&
           ReadFileBytes(folder + kSep + "B.DB2", &b) && b == "image B" &&
           !ReadFileBytes(folder + kSep + "A.csv", &a);
  }
  bool IsFolder(const std::string& path) const {
    FindEntry entry;
    FindHandle found = FindFirst(path.c_str(), &entry);
    FindEnd(found);
    return found != nullptr && entry.isDirectory;
  }

  TempFolder program_;
  TestRun run_{program_.path()};
  RecordedProgress progress_;
  std::string root_;
  int dateCode_ = 0;
};

TEST_F(Rotation, WeekdayAndMonthlyFolders) {
  struct Case {
    const char* why;
    const char* settings;  // beyond BackupDir
    int y, mo, d;
    const char* weekday;
    const char* monthly;  // nullptr: no monthly backup
    const char* lastAfter;
  } const cases[] = {
      {"worked rotation: still the period of the last backup", "MonthBackup=25\r\nLast_MonthBackup=20111025\r\n",
       2011, 11, 24, "(4)Thursday", nullptr, "20111025"},
      {"worked rotation: the period day starts a new period", "MonthBackup=25\r\nLast_MonthBackup=20111025\r\n",
       2011, 11, 25, "(5)Friday", "11月", "20111125"},
      {"the folder carries the month of the run, not of the period",
       "MonthBackup=25\r\nLast_MonthBackup=20111025\r\n", 2011, 12, 3, "(6)Saturday", "12月", "20111203"},
      {"99 on 28 February 2012: not yet the last day", "MonthBackup=99\r\nLast_MonthBackup=20120131\r\n",
       2012, 2, 28, "(2)Tuesday", nullptr, "20120131"},
      {"99 on 29 February 2012: the last day", "MonthBackup=99\r\nLast_MonthBackup=20120131\r\n",
       2012, 2, 29, "(3)Wednesday", "02月", "20120229"},
      {"January before the period day is December's period", "MonthBackup=15\r\nLast_MonthBackup=20111215\r\n",
       2012, 1, 10, "(2)Tuesday", nullptr, "20111215"},
      {"January on the period day", "MonthBackup=15\r\nLast_MonthBackup=20111215\r\n", 2012, 1, 15,
       "(0)Sunday", "01月", "20120115"},
      {"no earlier monthly backup: the first run makes one", "MonthBackup=25\r\n", 2011, 10, 26,
       "(3)Wednesday", "10月", "20111026"},
      {"a date ahead of today (a clock set ahead) is no backup made", "MonthBackup=25\r\nLast_MonthBackup=20280113\r\n",
       2011, 11, 3, "(4)Thursday", "11月", "20111103"},
      {"MonthBackup 0: Last_MonthBackup neither read nor written", "MonthBackup=0\r\n", 2011, 10, 26,
       "(3)Wednesday", nullptr, "(none)"},
      {"MonthBackup negative", "MonthBackup=-3\r\n", 2011, 10, 26, "(3)Wednesday", nullptr, "(none)"},
      {"MonthBackup missing", "", 2011, 10, 26, "(3)Wednesday", nullptr, "(none)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string root = root_ + std::to_string(++n);
    Settings("BackupDir=" + root + "\r\n" + c.settings);
    SetDate(c.y, c.mo, c.d);
    progress_.updates.clear();
    EXPECT_EQ(Rotate(), 0);
    EXPECT_TRUE(HoldsImages(root + kSep + c.weekday));
    for (const char* month : {"01月", "02月", "10月", "11月", "12月"}) {
      const bool expected = c.monthly != nullptr && std::string(month) == c.monthly;
      EXPECT_EQ(HoldsImages(root + kSep + month), expected) << month;
    }
    EXPECT_EQ(LastMonthBackup(), c.lastAfter);
    // Two images to the weekday folder, and two more to a monthly one.
    ASSERT_EQ(progress_.updates.size(), c.monthly ? 8u : 4u);
    EXPECT_EQ(progress_.updates.front().caption, "バックアップ中...");
    EXPECT_EQ(progress_.updates.back().caption, c.monthly ? "月次バックアップ中..." : "バックアップ中...");
    EXPECT_STREQ(run_.errors.text(), std::strstr(c.settings, "2028") == nullptr ? ""
        : "  Last_MonthBackupの日付20280113が今日より後のため、月次バックアップを取ります(RotateBackups)\n");
    run_.errors.Clear();
  }
}

TEST_F(Rotation, TwoRunsInOnePeriodMakeOneMonthlyBackup) {
  Settings("BackupDir=" + root_ + "\r\nMonthBackup=25\r\nLast_MonthBackup=20111025\r\n");
  SetDate(2011, 11, 25);
  EXPECT_EQ(Rotate(), 0);
  ASSERT_TRUE(WriteFileBytes(Transfer("A.DB2"), "image A, next day"));
  SetDate(2011, 11, 26);
  EXPECT_EQ(Rotate(), 0);
  std::string a;
  EXPECT_TRUE(ReadFileBytes(root_ + kSep + "11月" + kSep + "A.DB2", &a) && a == "image A");
  EXPECT_TRUE(ReadFileBytes(root_ + kSep + "(6)Saturday" + kSep + "A.DB2", &a) && a == "image A, next day");
  EXPECT_EQ(LastMonthBackup(), "20111125");
}

TEST_F(Rotation, RootsWithAndWithoutSeparatorAndEndingInTrailByte5C) {
  struct Case {
    std::string root;
    std::string folder;  // the root's folder, as made
    bool doubleByte;
    const char* why;
  } const cases[] = {
      {root_ + "a", root_ + "a", false, "no trailing separator"},
      {root_ + "b" + kSep, root_ + "b", false, "trailing separator"},
      {root_ + "表", root_ + "表", true, "表 ends in 0x5C, which is no separator"},
      {root_ + "ソ表" + kSep, root_ + "ソ表", true, "double-byte characters and a separator"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.doubleByte && !SystemTakesShiftJisNames()) continue;
    Settings("BackupDir=" + c.root + "\r\nMonthBackup=1\r\n");
    SetDate(2011, 10, 26);
    EXPECT_EQ(Rotate(), 0);
    EXPECT_TRUE(HoldsImages(c.folder + kSep + "(3)Wednesday"));
    EXPECT_TRUE(HoldsImages(c.folder + kSep + "10月"));
    EXPECT_FALSE(IsFolder(c.folder + "(3)Wednesday")) << "a sibling instead of a sub-folder";
  }
}

// An empty root means no backup: the run then neither backs up nor logs one.
// One past 255 bytes was once cut into another folder without a word.
TEST_F(Rotation, NoBackupRootReadsEmptyAndAnOverlongOneIsToldNotCut) {
  const std::string overlong = "BackupDir=" + root_ + std::string(300, 'x') + "\r\n";
  for (const std::string& settings : {std::string(), std::string("BackupDir=\r\nMonthBackup=25\r\n"), overlong}) {
    Settings(settings);
    run_.errors.Clear();
    char root[kPathBufferSize];
    ReadBackupRoot(run_.settings(), root, &run_.errors);
    EXPECT_STREQ(root, "") << settings;
    EXPECT_EQ(run_.errors.text(), settings == overlong
        ? std::string("  BackupDirは255文字を超えるためバックアップしません(RotateBackups)\n") : std::string());
  }
}

TEST_F(Rotation, UncreatableRootEndsTheRunWithTheSystemText) {
  Settings("BackupDir=" + program_.path() + "missing" + kSep + "backup\r\nMonthBackup=25\r\n");
  SetDate(2011, 10, 26);
  {
    // The log around the backup, as the batch run writes it.
    RunLog log(program_.path().c_str(), &run_.errors, FixedClock);
    ASSERT_EQ(log.Write(RunLogEvent::kOpen), 201110263);
    EXPECT_EQ(Rotate(log.Write(RunLogEvent::kBackup)), -1);
    log.Write(RunLogEvent::kCancel);
  }
  EXPECT_TRUE(progress_.updates.empty());
  EXPECT_EQ(LastMonthBackup(), "(none)");

  const std::string error = run_.errors.text();
  ASSERT_GT(error.size(), 3u);
  EXPECT_EQ(error.substr(0, 2), "  ");
  EXPECT_EQ(error.find('\n'), error.size() - 1) << "one line";
  std::string log;
  ASSERT_TRUE(ReadFileBytes(program_.path() + "Quenvale.log", &log));
  EXPECT_EQ(log, Nl("2011/10/26 09:00:00-ﾊﾞｯｸｱｯﾌﾟ 09:00:00-ｷｬﾝｾﾙ\n" + error));
}

TEST_F(Rotation, CancelledCopyKeepsTheLastMonthlyDate) {
  Settings("BackupDir=" + root_ + "\r\nMonthBackup=25\r\nLast_MonthBackup=20111025\r\n");
  SetDate(2011, 11, 25);
  progress_.cancelAt = 1;
  EXPECT_EQ(Rotate(), -1);
  EXPECT_EQ(progress_.updates.size(), 1u);
  EXPECT_FALSE(IsFolder(root_ + kSep + "11月"));
  EXPECT_EQ(LastMonthBackup(), "20111025");
}

// A monthly copy that fails (a positive code, not a cancel) once recorded
// the month as done, and last year's file stayed in its folder: the next
// run of the period must try again.
TEST_F(Rotation, FailedMonthlyCopyIsTriedAgainByTheNextRun) {
  Settings("BackupDir=" + root_ + "\r\nMonthBackup=25\r\nLast_MonthBackup=20111025\r\n");
  const std::string monthly = root_ + kSep + "11月";
  for (const std::string& folder : {root_, monthly, monthly + kSep + "A.DB2"}) {
    ASSERT_EQ(CreateFolder(folder.c_str()), 0);
  }
  for (int day : {25, 26}) {
    SetDate(2011, 11, day);
    progress_.updates.clear();
    run_.errors.Clear();
    EXPECT_GE(Rotate(), 0);
    EXPECT_EQ(progress_.updates.back().caption, "月次バックアップ中...") << day;
    EXPECT_NE(std::string(run_.errors.text()).find("A.DB2のコピーに失敗(CopyDb2Files 1)"), std::string::npos);
    EXPECT_EQ(LastMonthBackup(), "20111025") << day;
  }
}

// A run killed between flush and rename left a temporary file of the
// image's size; only today's folder was swept, so it stayed a week, or a
// year in a monthly folder. One a live run still writes stays.
TEST_F(Rotation, LeftoverTemporariesGoFromEveryBackupFolder) {
  Settings("BackupDir=" + root_ + "\r\n");
  const std::string sunday = root_ + kSep + "(0)Sunday" + kSep;
  const std::string may = root_ + kSep + "05月" + kSep;
  for (const std::string& folder : {root_, sunday, may, root_ + kSep + "(1)Monday"}) {
    ASSERT_EQ(CreateFolder(folder.c_str()), 0);
  }
  for (const std::string& left : {sunday + "~qv999999-1.tmp", may + "~QV999999-2.TMP"}) {
    ASSERT_TRUE(WriteFileBytes(left, "half an image"));
  }
  ASSERT_TRUE(WriteFileBytes(sunday + "A.DB2", "last Sunday"));
  char live[kTempPathSize];
  FileHandle held = FileCreateTemp((root_ + kSep + "(1)Monday" + kSep + "A.DB2").c_str(), live, sizeof live);
  ASSERT_NE(held, nullptr);
  SetDate(2011, 10, 26);
  EXPECT_EQ(Rotate(), 0);
  std::string bytes;
  EXPECT_FALSE(ReadFileBytes(sunday + "~qv999999-1.tmp", &bytes));
  EXPECT_FALSE(ReadFileBytes(may + "~QV999999-2.TMP", &bytes));
  EXPECT_TRUE(ReadFileBytes(sunday + "A.DB2", &bytes) && bytes == "last Sunday");
  FileInfo info;  // held without sharing on Windows: not to be read, only found
  EXPECT_TRUE(FileInfoOf(live, &info)) << "a live run's temporary file stays";
  FileDiscard(held, live);
}

#if !defined(_WIN32)
// A link planted at a weekday or monthly folder took the images into the
// folder it names, replacing someone else's files: refused with one line,
// nothing written through, and the month not recorded as done.
TEST_F(Rotation, LinksAtBackupFoldersAreRefused) {
  Settings("BackupDir=" + root_ + "\r\nMonthBackup=1\r\n");
  ASSERT_EQ(CreateFolder(root_.c_str()), 0);
  for (const char* victim : {"victim1", "victim2"}) {
    ASSERT_EQ(CreateFolder((program_.path() + victim).c_str()), 0);
    ASSERT_TRUE(WriteFileBytes(program_.path() + victim + kSep + "A.DB2", "not yours"));
  }
  ASSERT_EQ(symlink((program_.path() + "victim1").c_str(), (root_ + "/(3)Wednesday").c_str()), 0);
  ASSERT_EQ(symlink((program_.path() + "victim2").c_str(), (root_ + "/" + u8"10月").c_str()), 0);
  SetDate(2011, 10, 26);
  EXPECT_GT(Rotate(), 0);
  for (const char* victim : {"victim1", "victim2"}) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(program_.path() + victim + kSep + "A.DB2", &bytes) && bytes == "not yours");
    EXPECT_FALSE(ReadFileBytes(program_.path() + victim + kSep + "B.DB2", &bytes)) << victim;
  }
  EXPECT_EQ(std::string(run_.errors.text()),
            "  " + root_ + kSep + "(3)Wednesdayがリンクのためバックアップしません(RotateBackups)\n"
            "  " + root_ + kSep + "10月がリンクのためバックアップしません(RotateBackups)\n");
  EXPECT_EQ(LastMonthBackup(), "(none)");
}
#endif

TEST(MakeFolder, OnlyAFolderWillDoAndAFailureNamesIt) {
  TempFolder tmp;
  ErrorText errors;
  EXPECT_EQ(MakeFolder((tmp.path() + "x").c_str(), &errors), 0);
  EXPECT_EQ(MakeFolder((tmp.path() + "x").c_str(), &errors), 0);
  EXPECT_EQ(MakeFolder(tmp.path().c_str(), &errors), 0) << "an existing folder with its separator";
  EXPECT_STREQ(errors.text(), "");
  // Each failure is one line: the folder, then the system's text.
  const std::string missing = tmp.path() + "no" + kSep + "x";
  EXPECT_EQ(MakeFolder(missing.c_str(), &errors), -1);
  std::string error = errors.text();
  EXPECT_EQ(error.find("  " + missing + ": "), 0u) << error;
  EXPECT_EQ(error.find('\n'), error.size() - 1) << "one line";
  // A file where the folder belongs fails too (every copy into it would),
  // and is left as it was (regression).
  errors.Clear();
  tmp.Write("plain", "a file");
  EXPECT_EQ(MakeFolder((tmp.path() + "plain").c_str(), &errors), -1);
  error = errors.text();
  EXPECT_EQ(error.find("  " + tmp.path() + "plain: "), 0u) << error;
  EXPECT_EQ(tmp.Read("plain"), "a file");
}

}  // namespace
