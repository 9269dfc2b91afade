#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "platform/fileio.h"
#include "platform/platform.h"
#include "platform/stream.h"
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

// What the copy showed, and a cancel button pressed at the Nth display.
struct Recorder {
  std::vector<std::string> captions;
  std::vector<std::string> texts;
  int cancelAt = 0;  // 1-based display number that cancels; 0 never
  bool keepTexts = true;
  std::vector<int> percents;
};
Recorder* g_Recorder = nullptr;

// Percentage of a status text "<name> ( P % 完了)  E 秒経過".
int PercentOf(const std::string& text) {
  const size_t at = text.rfind(" ( ");
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 3);
}

int Record(const char* caption, const char* text) {
  Recorder& r = *g_Recorder;
  r.percents.push_back(PercentOf(text));
  if (r.keepTexts) {
    r.captions.push_back(caption);
    r.texts.push_back(text);
  }
  if (r.cancelAt != 0 && static_cast<int>(r.percents.size()) >= r.cancelAt) return 1;
  return 0;
}

// Files through the program's own layer: Shift-JIS names on both systems.
bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = OpenStream(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return true;
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
    g_Recorder = &recorder_;
    saved_ = g_CopyProgress;
    g_CopyProgress = Record;
    source_ = tmp_.path() + "src";
    target_ = tmp_.path() + "dst";
    ASSERT_EQ(CreateFolder(source_.c_str()), 0);
    ASSERT_EQ(CreateFolder(target_.c_str()), 0);
  }
  void TearDown() override {
    g_CopyProgress = saved_;
    g_Recorder = nullptr;
  }
  std::string Src(const std::string& name) const { return source_ + kSep + name; }
  std::string Dst(const std::string& name) const { return target_ + kSep + name; }

  TempFolder tmp_;
  Recorder recorder_;
  std::string source_, target_;
  int (*saved_)(const char*, const char*) = nullptr;
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
    recorder_ = Recorder();
    const std::string bytes = Pattern(c.size, static_cast<unsigned>(c.size));
    ASSERT_TRUE(WriteFile(Src("A.DB2"), bytes));
    // An old time, so that a copy that kept none would show.
    fs::last_write_time(fs::path(Src("A.DB2")),
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    ASSERT_EQ(CopyFileWithProgress(Src("A.DB2").c_str(), Dst("A.DB2").c_str(), "cap"), 0);
    EXPECT_EQ(recorder_.percents, c.percents);
    for (size_t i = 0; i < recorder_.texts.size(); ++i) {
      const std::string head = "A.DB2 ( " + std::to_string(c.percents[i]) + " % 完了)  ";
      EXPECT_EQ(recorder_.texts[i].substr(0, head.size()), head);
      EXPECT_EQ(recorder_.texts[i].substr(recorder_.texts[i].size() - 7), " 秒経過");
      EXPECT_EQ(recorder_.captions[i], "cap");
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
  ASSERT_TRUE(WriteFile(Src(name), "x"));
  ASSERT_EQ(CopyFileWithProgress(Src(name).c_str(), Dst(name).c_str(), "cap"), 0);
  ASSERT_EQ(recorder_.texts.size(), 2u);
  for (const std::string& text : recorder_.texts) {
    EXPECT_LE(text.size(), 107u);
    EXPECT_EQ(text.substr(0, 83), name.substr(0, 80) + " ( ");
  }
}

TEST_F(FolderCopy, FailuresLeaveNothingAtTheTarget) {
  struct Case {
    std::string source, target;
    int expected;
    const char* why;
  } const cases[] = {
      {Src("MISSING.DB2"), Dst("OLD.DB2"), 1, "unopenable source: an older target goes too"},
      {Src("A.DB2"), tmp_.path() + "nowhere" + kSep + "A.DB2", 1, "target folder missing"},
      {Src("A.DB2"), target_, 1, "the target is a folder"},
      {source_, Dst("OLD.DB2"), 1, "the source is a folder"},
      {Src(std::string(300, 'L')), Dst("OLD.DB2"), 1, "source path over 255 bytes is refused"},
      {Src("A.DB2"), Dst(std::string(300, 'L')), 1, "target path over 255 bytes is refused"},
  };
  ASSERT_TRUE(WriteFile(Src("A.DB2"), "abc"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_TRUE(WriteFile(Dst("OLD.DB2"), "old"));
    EXPECT_EQ(CopyFileWithProgress(c.source.c_str(), c.target.c_str(), "cap"), c.expected);
    if (c.target == Dst("OLD.DB2") && c.source.size() < 256) {
      EXPECT_FALSE(Exists(Dst("OLD.DB2")));
    }
  }
  EXPECT_TRUE(recorder_.percents.empty());
  EXPECT_TRUE(fs::is_directory(fs::path(target_)));
}

TEST_F(FolderCopy, CancelOfTheFirstDisplayRemovesTheTarget) {
  ASSERT_TRUE(WriteFile(Src("A.DB2"), Pattern(1200000, 1)));
  ASSERT_TRUE(WriteFile(Dst("A.DB2"), "old"));
  recorder_.cancelAt = 2;
  EXPECT_EQ(CopyFileWithProgress(Src("A.DB2").c_str(), Dst("A.DB2").c_str(), "cap"), -1);
  EXPECT_FALSE(Exists(Dst("A.DB2")));
  EXPECT_EQ(recorder_.percents, (std::vector<int>{0, 41}));
}

TEST_F(FolderCopy, FolderCopySkipsFoldersAndOtherNames) {
  ASSERT_TRUE(WriteFile(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFile(Src("b.db2"), "b"));  // the pattern ignores case, as on Windows
  ASSERT_TRUE(WriteFile(Src("C.TXT"), "c"));
  ASSERT_TRUE(WriteFile(Src("D.DB2.BAK"), "d"));
  ASSERT_EQ(CreateFolder(Src("X.DB2").c_str()), 0);
  EXPECT_EQ(CopyDb2Files(source_.c_str(), target_.c_str()), 0);
  std::string got;
  EXPECT_TRUE(ReadFileBytes(Dst("A.DB2"), &got) && got == "a");
  EXPECT_TRUE(ReadFileBytes(Dst("b.db2"), &got) && got == "b");
  EXPECT_FALSE(Exists(Dst("C.TXT")));
  EXPECT_FALSE(Exists(Dst("D.DB2.BAK")));
  EXPECT_FALSE(fs::exists(fs::path(Dst("X.DB2"))));
  EXPECT_EQ(recorder_.percents.size(), 4u);  // two displays for each one-byte file
}

TEST_F(FolderCopy, CaptionNamesMonthlyCopies) {
  ASSERT_TRUE(WriteFile(Src("A.DB2"), "a"));
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
    recorder_ = Recorder();
    const int made = CreateFolder(c.target.c_str());
    ASSERT_TRUE(made == 0 || made == kErrorAlreadyExists);
    EXPECT_EQ(CopyDb2Files(source_.c_str(), c.target.c_str()), 0);
    ASSERT_FALSE(recorder_.captions.empty());
    for (const std::string& caption : recorder_.captions) EXPECT_EQ(caption, c.caption);
    EXPECT_TRUE(Exists(c.target + kSep + "A.DB2"));
  }
#if !defined(_WIN32)
  // The file system sees the folder under its UTF-8 name.
  EXPECT_TRUE(fs::is_directory(fs::path(tmp_.path() + "11\xe6\x9c\x88")));
#endif
}

TEST_F(FolderCopy, MissingFoldersAndEmptyFolders) {
  ASSERT_TRUE(WriteFile(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFile(Src("B.DB2"), "b"));
  // Every file fails: the last one's code comes back, and callers go on.
  EXPECT_EQ(CopyDb2Files(source_.c_str(), (tmp_.path() + "nowhere").c_str()), 1);
  EXPECT_FALSE(fs::exists(fs::path(tmp_.path() + "nowhere")));
  EXPECT_EQ(CopyDb2Files((tmp_.path() + "nowhere").c_str(), target_.c_str()), 0);
  EXPECT_EQ(CopyDb2Files(target_.c_str(), source_.c_str()), 0);  // no .DB2 file in it
  EXPECT_EQ(CopyDb2Files(std::string(300, 'L').c_str(), target_.c_str()), 0);
  EXPECT_TRUE(recorder_.percents.empty());
}

TEST_F(FolderCopy, CancelDuringTheThirdOfFiveFiles) {
  const char* names[] = {"F1.DB2", "F2.DB2", "F3.DB2", "F4.DB2", "F5.DB2"};
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(WriteFile(Src(names[i]), Pattern(1000000, static_cast<unsigned>(i))));
    ASSERT_TRUE(WriteFile(Dst(names[i]), "old"));
  }
  // Three displays per file: the eighth is the third file's second.
  recorder_.cancelAt = 8;
  EXPECT_EQ(CopyDb2Files(source_.c_str(), target_.c_str()), -1);
  ASSERT_EQ(recorder_.texts.size(), 8u);
  // The search order is the system's: learn it from the displays.
  std::vector<std::string> order;
  for (const std::string& text : recorder_.texts) {
    const std::string name = text.substr(0, 6);
    if (order.empty() || order.back() != name) order.push_back(name);
  }
  ASSERT_EQ(order.size(), 3u);
  std::string got;
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(names[i]);
    const int position = static_cast<int>(std::find(order.begin(), order.end(), names[i]) - order.begin());
    if (position < 2) {
      EXPECT_TRUE(ReadFileBytes(Dst(names[i]), &got) && got == Pattern(1000000, static_cast<unsigned>(i)));
    } else if (position == 2) {
      EXPECT_FALSE(Exists(Dst(names[i])));
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
  ASSERT_TRUE(WriteFile(Src("BIG.DB2"), ""));
  fs::resize_file(fs::path(Src("BIG.DB2")), size);
  recorder_.keepTexts = false;
  ASSERT_EQ(CopyFileWithProgress(Src("BIG.DB2").c_str(), Dst("BIG.DB2").c_str(), "cap"), 0);
  EXPECT_EQ(fs::file_size(fs::path(Dst("BIG.DB2"))), size);
  const std::vector<int>& p = recorder_.percents;
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
  EXPECT_EQ(CopyFileWithProgress(Src("P.DB2").c_str(), Dst("P.DB2").c_str(), "cap"), 1);
  ASSERT_EQ(mkfifo(Dst("Q.DB2").c_str(), 0600), 0);
  ASSERT_TRUE(WriteFile(Src("Q.DB2"), "q"));
  EXPECT_EQ(CopyFileWithProgress(Src("Q.DB2").c_str(), Dst("Q.DB2").c_str(), "cap"), 1);
#endif
}

TEST_F(FolderCopy, SourceHeldWithoutSharingFailsToOpen) {
#if !defined(_WIN32)
  GTEST_SKIP() << "POSIX has no share modes";
#else
  ASSERT_TRUE(WriteFile(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFile(Dst("A.DB2"), "old"));
  FileHandle held = FileOpenRead(Src("A.DB2").c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(CopyFileWithProgress(Src("A.DB2").c_str(), Dst("A.DB2").c_str(), "cap"), 1);
  FileClose(held);
  EXPECT_FALSE(Exists(Dst("A.DB2")));
  EXPECT_TRUE(recorder_.percents.empty());
#endif
}

#if defined(_WIN32)
// Run in a child process by the test below: holds QV_HOLD_FILE open without
// sharing, says so by creating <file>.held, and lets go once <file>.release
// appears (or after 60 s).
TEST(FolderCopyHelper, HoldFileOpen) {
  const char* path = std::getenv("QV_HOLD_FILE");
  if (path == nullptr) GTEST_SKIP() << "only as the holding process";
  HANDLE held = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteFile(std::string(path) + ".held", ""));
  for (int i = 0; i < 600 && !Exists(std::string(path) + ".release"); ++i) Sleep(100);
  CloseHandle(held);
}

TEST_F(FolderCopy, SourceHeldByAnotherProcessFailsToOpen) {
  ASSERT_TRUE(WriteFile(Src("A.DB2"), "a"));
  ASSERT_TRUE(WriteFile(Dst("A.DB2"), "old"));
  char self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  std::string command = std::string("\"") + self + "\" --gtest_filter=FolderCopyHelper.HoldFileOpen";
  SetEnvironmentVariableA("QV_HOLD_FILE", Src("A.DB2").c_str());
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &si, &pi);
  SetEnvironmentVariableA("QV_HOLD_FILE", nullptr);
  ASSERT_TRUE(started);
  for (int i = 0; i < 600 && !Exists(Src("A.DB2.held")); ++i) Sleep(100);
  ASSERT_TRUE(Exists(Src("A.DB2.held")));

  EXPECT_EQ(CopyFileWithProgress(Src("A.DB2").c_str(), Dst("A.DB2").c_str(), "cap"), 1);
  EXPECT_FALSE(Exists(Dst("A.DB2")));

  ASSERT_TRUE(WriteFile(Src("A.DB2.release"), ""));
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  EXPECT_EQ(code, 0u);
  // Once the other process lets go, the same copy goes through.
  EXPECT_EQ(CopyFileWithProgress(Src("A.DB2").c_str(), Dst("A.DB2").c_str(), "cap"), 0);
}
#endif

}  // namespace
