#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "base/path.h"
#include "platform/fileio.h"
#include "tests/unit/support/test_support.h"
#include "transfer/folder_copy.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::string kSep(1, kPathSep);

// Double-byte file names need a Shift-JIS system code page on Windows.
bool SystemTakesShiftJisNames() {
#if defined(_WIN32)
  return GetACP() == 932;
#else
  return true;
#endif
}

// Percentage of each status text shown, "<name> ( P % 完了)  E 秒経過".
std::vector<int> Percents(const RecordedProgress& progress) {
  std::vector<int> percents;
  for (const RecordedProgress::Shown& shown : progress.updates) {
    const size_t at = shown.text.rfind(" ( ");
    percents.push_back(at == std::string::npos ? -1 : std::atoi(shown.text.c_str() + at + 3));
  }
  return percents;
}

bool Exists(const std::string& path) {
  std::string ignored;
  return ReadFileBytes(path, &ignored);
}

std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 977) & 0xFF);
  return s;
}

bool TimesOf(const std::string& path, FileTimes* times) {
  FileHandle f = FileOpenRead(path.c_str());
  if (f == nullptr) return false;
  const bool ok = FileGetTimes(f, times);
  FileClose(f);
  return ok;
}

class FolderCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = tmp_.path() + "src";
    target_ = tmp_.path() + "dst";
    ASSERT_EQ(CreateFolder(source_.c_str()), 0);
    ASSERT_EQ(CreateFolder(target_.c_str()), 0);
  }
  std::string Src(const std::string& name) const { return source_ + kSep + name; }
  std::string Dst(const std::string& name) const { return target_ + kSep + name; }
  int Copy(const std::string& source, const std::string& target) {
    return CopyFileWithProgress(source.c_str(), target.c_str(), "cap", &progress_);
  }
  int CopyFolder(const std::string& source, const std::string& target) {
    return CopyDb2Files(source.c_str(), target.c_str(), &progress_, &errors_);
  }

  TempFolder tmp_;
  RecordedProgress progress_;
  ErrorText errors_;
  std::string source_, target_;
};

TEST_F(FolderCopy, ProgressDisplaysAndCopiedBytes) {
  struct Case {
    size_t size;
    std::vector<int> percents;
    const char* why;
  } const cases[] = {
      {0, {0}, "empty file: one display, one read of nothing"},
      {1000000, {0, 50, 100}, "two full chunks: the third read delivers nothing"},
      {1200000, {0, 41, 83, 100}, "a short last chunk"},
      {499999, {0, 100}, "less than one chunk"},
      {500000, {0, 100}, "exactly one chunk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    progress_ = RecordedProgress();
    const std::string bytes = Pattern(c.size, static_cast<unsigned>(c.size));
    ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), bytes));
    // An old time, so that a copy that kept none would show.
    fs::last_write_time(fs::path(Src("A.DB2")),
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    ASSERT_EQ(Copy(Src("A.DB2"), Dst("A.DB2")), 0);
    EXPECT_EQ(Percents(progress_), c.percents);
    for (size_t i = 0; i < progress_.updates.size(); ++i) {
      const std::string head = "A.DB2 ( " + std::to_string(c.percents[i]) + " % 完了)  ";
      const std::string& text = progress_.updates[i].text;
      EXPECT_EQ(text.substr(0, head.size()), head);
      EXPECT_EQ(text.substr(text.size() - 7), " 秒経過");
      EXPECT_EQ(progress_.updates[i].caption, "cap");
    }
    FileTimes from, to;
    ASSERT_TRUE(TimesOf(Src("A.DB2"), &from));
    ASSERT_TRUE(TimesOf(Dst("A.DB2"), &to));
    EXPECT_EQ(to.lastWrite, from.lastWrite);
    EXPECT_EQ(to.lastAccess, from.lastAccess);
    EXPECT_EQ(to.creation, from.creation);
    // Read last: reading may move the access time.
    std::string copied;
    ASSERT_TRUE(ReadFileBytes(Dst("A.DB2"), &copied));
    EXPECT_TRUE(copied == bytes);
  }
}

TEST_F(FolderCopy, LongFileNameIsCutWholeInTheStatusText) {
  if (!SystemTakesShiftJisNames()) GTEST_SKIP() << "the system code page is not 932";
  // 41 double-byte characters: 81 bytes would split the last one.
  std::string name;
  for (int i = 0; i < 41; ++i) name += "表";
  name += ".DB2";
  ASSERT_TRUE(WriteFileBytes(Src(name), "x"));
  ASSERT_EQ(Copy(Src(name), Dst(name)), 0);
  ASSERT_EQ(progress_.updates.size(), 2u);
  for (const RecordedProgress::Shown& shown : progress_.updates) {
    const std::string& text = shown.text;
    EXPECT_LE(text.size(), 107u);
    EXPECT_EQ(text.substr(0, 83), name.substr(0, 80) + " ( ");
  }
}

TEST_F(FolderCopy, FailuresKeepThePreviousTarget) {
  // A folder of 240 bytes: with a file name it passes 255.
  const std::string longFolder = tmp_.path() + std::string(240 - tmp_.path().size(), 'F');
  ASSERT_EQ(CreateFolder(longFolder.c_str()), 0);
  struct Case {
    std::string source, target;
    int expected;
    const char* why;
  } const cases[] = {
      {Src("MISSING.DB2"), Dst("OLD.DB2"), 1, "unopenable source: an older target stays"},
      {Src("A.DB2"), tmp_.path() + "nowhere" + kSep + "A.DB2", 1, "target folder missing"},
      {Src("A.DB2"), target_, 1, "the target is a folder"},
      {source_, Dst("OLD.DB2"), 1, "the source is a folder"},
      {Src(std::string(300, 'L')), Dst("OLD.DB2"), 1, "source path over 255 bytes is refused"},
      {Src("A.DB2"), longFolder + kSep + "LONGNAME_LONGNAME.DB2", 1,
       "target path over 255 bytes in a folder that exists is refused"},
  };
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), "abc"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_TRUE(WriteFileBytes(Dst("OLD.DB2"), "old"));
    EXPECT_EQ(Copy(c.source, c.target), c.expected);
    if (c.target == Dst("OLD.DB2")) {
      // A failed copy keeps the previous file.
      std::string got;
      EXPECT_TRUE(ReadFileBytes(Dst("OLD.DB2"), &got) && got == "old");
    }
  }
  EXPECT_TRUE(fs::is_empty(fs::path(longFolder)));
  EXPECT_TRUE(progress_.updates.empty());
  EXPECT_TRUE(fs::is_directory(fs::path(target_)));
}

TEST_F(FolderCopy, CancelOfTheFirstDisplayKeepsThePreviousTarget) {
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), Pattern(1200000, 1)));
  ASSERT_TRUE(WriteFileBytes(Dst("A.DB2"), "old"));
  progress_.cancelAt = 2;
  EXPECT_EQ(Copy(Src("A.DB2"), Dst("A.DB2")), -1);
  std::string got;
  EXPECT_TRUE(ReadFileBytes(Dst("A.DB2"), &got) && got == "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(target_)), fs::directory_iterator()), 1);
  EXPECT_EQ(Percents(progress_), (std::vector<int>{0, 41}));
}

TEST_F(FolderCopy, FolderCopySkipsFoldersAndOtherNames) {
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFileBytes(Src("b.db2"), "b"));  // the pattern ignores case, as on Windows
  ASSERT_TRUE(WriteFileBytes(Src("C.TXT"), "c"));
  ASSERT_TRUE(WriteFileBytes(Src("D.DB2.BAK"), "d"));
  ASSERT_EQ(CreateFolder(Src("X.DB2").c_str()), 0);
  EXPECT_EQ(CopyFolder(source_, target_), 0);
  std::string got;
  EXPECT_TRUE(ReadFileBytes(Dst("A.DB2"), &got) && got == "a");
  EXPECT_TRUE(ReadFileBytes(Dst("b.db2"), &got) && got == "b");
  EXPECT_FALSE(Exists(Dst("C.TXT")));
  EXPECT_FALSE(Exists(Dst("D.DB2.BAK")));
  EXPECT_FALSE(fs::exists(fs::path(Dst("X.DB2"))));
  EXPECT_EQ(progress_.updates.size(), 4u);  // two displays for each one-byte file
}

TEST_F(FolderCopy, CaptionNamesMonthlyCopies) {
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), "a"));
  const std::string monthly = tmp_.path() + "11月";
  struct Case {
    std::string target;
    const char* caption;
  } const cases[] = {
      {monthly, "月次バックアップ中..."},
      {target_, "バックアップ中..."},
      {tmp_.path() + "(3)Wednesday", "バックアップ中..."},
  };
  for (const Case& c : cases) {
    progress_ = RecordedProgress();
    const int made = CreateFolder(c.target.c_str());
    ASSERT_TRUE(made == 0 || made == kErrorAlreadyExists);
    EXPECT_EQ(CopyFolder(source_, c.target), 0);
    ASSERT_FALSE(progress_.updates.empty());
    for (const RecordedProgress::Shown& shown : progress_.updates) EXPECT_EQ(shown.caption, c.caption);
    EXPECT_TRUE(Exists(c.target + kSep + "A.DB2"));
  }
#if !defined(_WIN32)
  // The file system sees the folder under its UTF-8 name.
  EXPECT_TRUE(fs::is_directory(fs::path(tmp_.path() + "11\xe6\x9c\x88")));
#endif
}

TEST_F(FolderCopy, MissingFoldersAndEmptyFolders) {
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFileBytes(Src("B.DB2"), "b"));
  // Every file fails: the last one's code comes back, and callers go on.
  EXPECT_EQ(CopyFolder(source_, tmp_.path() + "nowhere"), 1);
  EXPECT_FALSE(fs::exists(fs::path(tmp_.path() + "nowhere")));
  // Each failed file has its line, so that a missing backup is told.
  const std::string errors = errors_.text();
  EXPECT_NE(errors.find("  A.DB2のコピーに失敗(CopyDb2Files 1)\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("  B.DB2のコピーに失敗(CopyDb2Files 1)\n"), std::string::npos) << errors;
  EXPECT_EQ(CopyFolder(tmp_.path() + "nowhere", target_), 0);
  EXPECT_EQ(CopyFolder(target_, source_), 0);  // no .DB2 file in it
  EXPECT_EQ(CopyFolder(std::string(300, 'L'), target_), 0);
  EXPECT_TRUE(progress_.updates.empty());
}

TEST_F(FolderCopy, CancelDuringTheThirdOfFiveFiles) {
  const char* names[] = {"F1.DB2", "F2.DB2", "F3.DB2", "F4.DB2", "F5.DB2"};
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(WriteFileBytes(Src(names[i]), Pattern(1000000, static_cast<unsigned>(i))));
    ASSERT_TRUE(WriteFileBytes(Dst(names[i]), "old"));
  }
  // Three displays per file: the eighth is the third file's second.
  progress_.cancelAt = 8;
  EXPECT_EQ(CopyFolder(source_, target_), -1);
  ASSERT_EQ(progress_.updates.size(), 8u);
  // The search order is the system's: learn it from the displays.
  std::vector<std::string> order;
  for (const RecordedProgress::Shown& shown : progress_.updates) {
    const std::string name = shown.text.substr(0, 6);
    if (order.empty() || order.back() != name) order.push_back(name);
  }
  ASSERT_EQ(order.size(), 3u);
  std::string got;
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(names[i]);
    const int position = static_cast<int>(std::find(order.begin(), order.end(), names[i]) - order.begin());
    if (position < 2) {
      EXPECT_TRUE(ReadFileBytes(Dst(names[i]), &got) && got == Pattern(1000000, static_cast<unsigned>(i)));
    } else {
      EXPECT_TRUE(ReadFileBytes(Dst(names[i]), &got) && got == "old");
    }
  }
}

TEST_F(FolderCopy, SourceOf4GiBAndMoreRisesTo100) {
#if defined(_WIN32)
  GTEST_SKIP() << "sparse files are made with the POSIX layer only";
#else
  const uint64_t size = (uint64_t{1} << 32) + 1000000;
  const fs::space_info space = fs::space(fs::path(tmp_.path()));
  if (space.available < size + (uint64_t{1} << 30)) GTEST_SKIP() << "not enough free space";
  ASSERT_TRUE(WriteFileBytes(Src("BIG.DB2"), ""));
  fs::resize_file(fs::path(Src("BIG.DB2")), size);
  ASSERT_EQ(Copy(Src("BIG.DB2"), Dst("BIG.DB2")), 0);
  EXPECT_EQ(fs::file_size(fs::path(Dst("BIG.DB2"))), size);
  const std::vector<int> p = Percents(progress_);
  ASSERT_EQ(p.size(), size / kCopyChunkSize + 2);
  EXPECT_EQ(p.front(), 0);
  EXPECT_EQ(p.back(), 100);
  for (size_t i = 1; i < p.size(); ++i) ASSERT_LE(p[i - 1], p[i]) << "display " << i;
  EXPECT_EQ(p[p.size() / 2], 50);  // the real size, not its low 32 bits
#endif
}

TEST_F(FolderCopy, PipeNamedLikeAnImageDoesNotHang) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX pipes only";
#else
  ASSERT_EQ(mkfifo(Src("P.DB2").c_str(), 0600), 0);
  EXPECT_EQ(Copy(Src("P.DB2"), Dst("P.DB2")), 1);
  // A pipe at the target is not opened, and not replaced either.
  ASSERT_EQ(mkfifo(Dst("Q.DB2").c_str(), 0600), 0);
  ASSERT_TRUE(WriteFileBytes(Src("Q.DB2"), "q"));
  EXPECT_EQ(Copy(Src("Q.DB2"), Dst("Q.DB2")), kCopyWriteFailed);
  struct stat st;
  EXPECT_TRUE(lstat(Dst("Q.DB2").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
#endif
}

TEST_F(FolderCopy, SourceHeldWithoutSharingFailsToOpen) {
#if !defined(_WIN32)
  GTEST_SKIP() << "POSIX has no share modes";
#else
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFileBytes(Dst("A.DB2"), "old"));
  FileHandle held = FileOpenRead(Src("A.DB2").c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(Copy(Src("A.DB2"), Dst("A.DB2")), 1);
  FileClose(held);
  std::string got;
  EXPECT_TRUE(ReadFileBytes(Dst("A.DB2"), &got) && got == "old");
  EXPECT_TRUE(progress_.updates.empty());
#endif
}

#if defined(_WIN32)
TEST_F(FolderCopy, SourceOrTargetHeldByAnotherProcessFails) {
  ASSERT_TRUE(WriteFileBytes(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFileBytes(Dst("A.DB2"), "old"));
  std::string got;
  for (const std::string& heldPath : {Src("A.DB2"), Dst("A.DB2")}) {
    SCOPED_TRACE(heldPath);
    const bool source = heldPath == Src("A.DB2");
    // The helper holds the file without sharing, says so with <file>.held and
    // lets go once <file>.release appears.
    std::string command = "\"" QV_TEST_HELPER "\" hold \"" + heldPath + "\" 60";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &si, &pi);
    ASSERT_TRUE(started);
    for (int i = 0; i < 600 && !Exists(heldPath + ".held"); ++i) Sleep(100);
    ASSERT_TRUE(Exists(heldPath + ".held"));

    // A source that cannot be opened, or a target that cannot be replaced
    // (a spreadsheet holding it): the previous target stays, no temporary
    // file is left.
    const std::string before = source ? "old" : "a";
    EXPECT_EQ(Copy(Src("A.DB2"), Dst("A.DB2")), source ? kCopyOpenFailed : kCopyWriteFailed);
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(target_))) {
      EXPECT_FALSE(IsTempFileName(e.path().filename().string().c_str())) << e.path();
    }

    ASSERT_TRUE(WriteFileBytes(heldPath + ".release", ""));
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(ReadFileBytes(Dst("A.DB2"), &got) && got == before);
    // Once the other process lets go, the same copy goes through.
    EXPECT_EQ(Copy(Src("A.DB2"), Dst("A.DB2")), 0);
    fs::remove(fs::path(heldPath + ".held"));
    fs::remove(fs::path(heldPath + ".release"));
  }
}
#endif

}  // namespace
