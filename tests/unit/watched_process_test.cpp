#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/process_state.h"
#include "platform/module.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "tests/unit/support/test_support.h"
#include "transfer/watched_process.h"

#if !defined(_WIN32)
#include "platform/posix/command_line.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The copy of this test program that the watch tests start runs only this
// test, which sleeps as long as QV_SLEEP_SECONDS says (in a normal run the
// variable is not set and it passes at once).
TEST(Sleeper, SleepsWhenAsked) {
  const char* seconds = std::getenv("QV_SLEEP_SECONDS");
  if (seconds != nullptr) std::this_thread::sleep_for(std::chrono::seconds(std::atoi(seconds)));
}

const char kSleeperName[] = "qvsleep.exe";
const char kSleeperArgs[] = "--gtest_filter=Sleeper.*";

void SetSleepSeconds(int seconds) {
  const std::string value = std::to_string(seconds);
#if defined(_WIN32)
  _putenv(("QV_SLEEP_SECONDS=" + value).c_str());
#else
  setenv("QV_SLEEP_SECONDS", value.c_str(), 1);
#endif
}

bool CountName(const char* exeName, void* context) {
  auto* c = static_cast<std::pair<std::string, int>*>(context);
  if (SameNameIgnoringCase(exeName + FileNameStart(exeName, true), c->first.c_str())) ++c->second;
  return false;
}

int CountProcesses(const std::string& name) {
  PrepareProcessList();
  std::pair<std::string, int> count{name, 0};
  ForEachProcessName(CountName, &count);
  return count.second;
}

// A program folder with the time limit and a copy of this program that
// sleeps, under a name that nothing else runs.
class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseProgramFolder(folder_.path());
    char self[kPathBufferSize];
    ASSERT_GT(GetExecutablePath(self, sizeof self), 0);
    sleeper_ = folder_.path() + kSleeperName;
    std::filesystem::copy_file(self, sleeper_);
  }
  void SetLimit(const char* limit) {
    folder_.Write("Quenvale.ini", std::string("[Quenvale]\r\nTimeLimit=") + limit + "\r\n");
  }
  TempFolder folder_;
  std::string sleeper_;
};

TEST_F(WatchTest, ProgramThatEndsAtOnceTakesOnePass) {
  SetLimit("3600");
  SetSleepSeconds(0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RunWatchedProcess(sleeper_.c_str(), kSleeperArgs), 0);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.1);
  EXPECT_LT(took, 30.0);
}

TEST_F(WatchTest, ProgramOverTheLimitIsTerminated) {
  SetLimit("1");
  SetSleepSeconds(120);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RunWatchedProcess(sleeper_.c_str(), kSleeperArgs), kWatchTimedOut);
  const double took = SecondsSince(start);
  // Terminated in the first pass whose whole-second readings differ by 2.
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(CountProcesses(kSleeperName), 0);
}

TEST_F(WatchTest, UnrelatedProcessOfTheSameNameIsWaitedForNeverTerminated) {
  SetLimit("1");
  SetSleepSeconds(120);
  StartedProcess other;
  const std::string line = "\"" + sleeper_ + "\" " + kSleeperArgs;
  StartProcess(line.c_str(), &other);
  ASSERT_TRUE(other.started);

  // Well after the limit the started copy is gone and the other one lives;
  // then it is ended here, which ends the watch.
  int countAfterLimit = -1;
  std::thread ender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    countAfterLimit = CountProcesses(kSleeperName);
    TerminateStartedProcess(&other);
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RunWatchedProcess(sleeper_.c_str(), kSleeperArgs), kWatchTimedOut);
  const double took = SecondsSince(start);
  ender.join();
  ReleaseStartedProcess(&other);
  EXPECT_EQ(countAfterLimit, 1);
  EXPECT_GE(took, 4.5);
}

TEST_F(WatchTest, TooLongCommandLineStartsNothing) {
  SetLimit("3600");
  SetSleepSeconds(120);
  const std::string args = std::string(kSleeperArgs) + " " + std::string(300, 'x');
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RunWatchedProcess(sleeper_.c_str(), args.c_str()), 0);
  EXPECT_LT(SecondsSince(start), 0.1);
  EXPECT_EQ(CountProcesses(kSleeperName), 0);
}

#if !defined(_WIN32)
TEST_F(WatchTest, ScriptIsWatchedUnderItsOwnName) {
  // Its image is the shell; the watch must still see the script, or a
  // wrapper script installed as the client would escape the limit.
  const std::string script = folder_.path() + "qvscript.exe";
  folder_.Write("qvscript.exe", "#!/bin/sh\nwhile :; do sleep 0.2; done\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  SetLimit("1");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RunWatchedProcess(script.c_str(), ""), kWatchTimedOut);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(CountProcesses("qvscript.exe"), 0);
}
#endif

TEST(ProcessList, ListsThisProgram) {
  char self[kPathBufferSize];
  ASSERT_GT(GetExecutablePath(self, sizeof self), 0);
  EXPECT_GE(CountProcesses(self + FileNameStart(self, true)), 1);
}

TEST(BuildCommandLine, QuotesTheProgramAndAddsArguments) {
  char out[kPathBufferSize];
  ASSERT_TRUE(BuildCommandLine("ftp.exe", "", out, sizeof out));
  EXPECT_STREQ(out, "\"ftp.exe\"");  // no blank without arguments
  ASSERT_TRUE(BuildCommandLine("ftp.exe", "-s:\"D:\\Conv\\ftparg.txt\" 10.0.0.1", out, sizeof out));
  EXPECT_STREQ(out, "\"ftp.exe\" -s:\"D:\\Conv\\ftparg.txt\" 10.0.0.1");
  ASSERT_TRUE(BuildCommandLine("ftp.exe", "-s:\"D:\\Conv\\ftparg.txt\" ", out, sizeof out));
  EXPECT_STREQ(out, "\"ftp.exe\" -s:\"D:\\Conv\\ftparg.txt\" ");  // empty address
  // 255 characters fit, 256 do not.
  const std::string program(253, 'p');
  ASSERT_TRUE(BuildCommandLine(program.c_str(), "", out, sizeof out));
  EXPECT_EQ(std::strlen(out), 255u);
  EXPECT_FALSE(BuildCommandLine((program + "p").c_str(), "", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(BuildCommandLine("p", std::string(251, 'a').c_str(), out, sizeof out));
  EXPECT_FALSE(BuildCommandLine("p", std::string(252, 'a').c_str(), out, sizeof out));
}

struct NameCase {
  std::string path;
  bool separatorAtZero;
  int expected;
  const char* why;
};

const std::string S(1, kPathSep);

const NameCase kNameCases[] = {
    {"ftp.exe", false, 0, "a bare name is the whole text"},
    {"C:" + S + "WINDOWS" + S + "ftp.exe", false, 11, "after the last separator"},
    {S + "ftp.exe", false, 0, "the program text's separator at index 0 does not count"},
    {S + "ftp.exe", true, 1, "a list entry's separator at index 0 counts"},
    {"C:" + S + "表" + S + "ftp.exe", false, 6, "past a double-byte folder name"},
    {"C:" + S + "表ftp.exe", false, 3, "表's trail byte is no separator"},
    {"C:" + S + "表", true, 3, "name ending in a trail byte 0x5C"},
    {"表", true, 0, "a lone double-byte name"},
    {"", false, 0, "empty program text"},
    {"", true, 0, "empty list entry"},
    {"a" + S, false, 2, "ends in a separator: an empty name"},
};

TEST(FileNameStart, Table) {
  for (const NameCase& c : kNameCases) {
    EXPECT_EQ(FileNameStart(c.path.c_str(), c.separatorAtZero), c.expected) << c.why;
  }
}

TEST(SameNameIgnoringCase, AsciiLettersOnly) {
  EXPECT_TRUE(SameNameIgnoringCase("FTP.EXE", "ftp.exe"));
  EXPECT_TRUE(SameNameIgnoringCase("Ftp.Exe", "fTP.eXE"));
  EXPECT_FALSE(SameNameIgnoringCase("ftp.ex", "ftp.exe"));
  EXPECT_FALSE(SameNameIgnoringCase("ftp.exe", "ftp.ex"));
  EXPECT_FALSE(SameNameIgnoringCase("ftp.exe", "ftp2.exe"));
  EXPECT_TRUE(SameNameIgnoringCase("", ""));
  // Bytes other than ASCII letters must match exactly: ｱ (0xB1) and ﾁ (0xC1).
  EXPECT_FALSE(SameNameIgnoringCase("ｱ", "ﾁ"));
  EXPECT_FALSE(SameNameIgnoringCase("[", "{"));
}

struct LimitCase {
  const char* text;
  int expected;
};

const LimitCase kLimitCases[] = {
    {"3600", 3600}, {"  42x", 42},   {"\t\r\n 7", 7}, {"-5", -5},  {"+9", 9},
    {"abc", 0},     {"", 0},         {"- 5", 0},      {"1 2", 1},  {"007", 7},
    {"2147483647", INT_MAX},          {"99999999999999999999", INT_MAX},
    {"-2147483648", INT_MIN},         {"-99999999999999999999", INT_MIN},
};

TEST(TimeLimitFromText, AtoiRules) {
  for (const LimitCase& c : kLimitCases) {
    EXPECT_EQ(TimeLimitFromText(c.text), c.expected) << "\"" << c.text << "\"";
  }
}

#if !defined(_WIN32)
struct SplitCase {
  std::string line;
  std::vector<std::string> expected;
};

const SplitCase kSplitCases[] = {
    {"\"ftp.exe\" -s:\"/tmp/a b/ftparg.txt\" 127.0.0.1",
     {"ftp.exe", "-s:/tmp/a b/ftparg.txt", "127.0.0.1"}},
    {"\"ftp.exe\"", {"ftp.exe"}},
    {"\"ftp.exe\" ", {"ftp.exe"}},
    // The program name knows no backslash rules.
    {"\"C:\\dir\\\" a", {"C:\\dir\\", "a"}},
    {"prog a", {"prog", "a"}},
    {"p  a \t b  ", {"p", "a", "b"}},
    {"p a\\\\b", {"p", "a\\\\b"}},             // backslashes without a quote are literal
    {"p a\\\"b", {"p", "a\"b"}},               // odd count: a literal quote
    {"p \"a\\\\\" b", {"p", "a\\", "b"}},      // even count: halved, the quote closes
    {"p a\\\\\\\"b", {"p", "a\\\"b"}},         // three: one backslash and a quote
    {"p \"a\"\"b\"", {"p", "a\"b"}},           // a doubled quote inside quotes
    {"p \"\" x", {"p", "", "x"}},              // an empty argument
    {"p \"a b\"c d", {"p", "a bc", "d"}},
    {"p \"表\" x", {"p", "表", "x"}},          // 表's trail byte 0x5C escapes nothing
    {"p \"unclosed quote", {"p", "unclosed quote"}},
};

TEST(SplitCommandLine, WindowsRules) {
  for (const SplitCase& c : kSplitCases) {
    char buffer[512];
    char* argv[16];
    const int argc = SplitCommandLine(c.line.c_str(), buffer, sizeof buffer, argv, 16);
    ASSERT_EQ(argc, static_cast<int>(c.expected.size())) << c.line;
    for (int i = 0; i < argc; ++i) EXPECT_EQ(argv[i], c.expected[static_cast<size_t>(i)]) << c.line;
    EXPECT_EQ(argv[argc], nullptr);
  }
}

TEST(SplitCommandLine, RefusesWhatDoesNotFit) {
  char buffer[8];
  char* argv[3];
  EXPECT_EQ(SplitCommandLine("\"program.exe\"", buffer, sizeof buffer, argv, 3), -1);
  EXPECT_EQ(SplitCommandLine("p a b c", buffer, sizeof buffer, argv, 3), -1);
  EXPECT_EQ(SplitCommandLine("p a", buffer, sizeof buffer, argv, 3), 2);
}
#endif

}  // namespace
