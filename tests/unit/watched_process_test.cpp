#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/path.h"
#include "base/sjis.h"
#include "base/text.h"
#include "platform/module.h"
#include "platform/process.h"
#include "tests/unit/support/test_support.h"
#include "transfer/watched_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/posix/command_line.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool CountName(const char* exeName, void* context) {
  auto* c = static_cast<std::pair<std::string, int>*>(context);
  if (SameName(exeName + FileNameStart(exeName), c->first.c_str())) ++c->second;
  return false;
}

int CountProcesses(const std::string& name) {
  std::pair<std::string, int> count{name, 0};
  ForEachProcessName(CountName, &count);
  return count.second;
}

// A program folder with the time limit and a copy of the helper program,
// which sleeps as long as its arguments say, under a name that nothing else
// runs (not even this test in another build).
class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sleeperName_ = "qvsleep" + std::to_string(std::random_device()() % 100000000) + ".exe";
    sleeper_ = folder_.path() + sleeperName_;
    std::filesystem::copy_file(QV_TEST_HELPER, sleeper_);
  }
  void SetLimit(const char* limit) {
    folder_.Write("Quenvale.ini", std::string("[Quenvale]\r\nTimeLimit=") + limit + "\r\n");
  }
  int Watch(const std::string& program, const std::string& args) {
    return RunWatchedProcess(run_.settings(), program.c_str(), args.c_str());
  }
  TempFolder folder_;
  TestRun run_{folder_.path()};
  std::string sleeperName_;
  std::string sleeper_;
};

TEST_F(WatchTest, ProgramThatEndsAtOnceTakesOnePass) {
  SetLimit("3600");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Watch(sleeper_, "sleep 0"), kWatchDone);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.1);
  EXPECT_LT(took, 30.0);
}

TEST_F(WatchTest, ProgramOverTheLimitIsTerminated) {
  SetLimit("1");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Watch(sleeper_, "sleep 120"), kWatchTimedOut);
  const double took = SecondsSince(start);
  // Terminated in the first pass whose whole-second readings differ by 2.
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(CountProcesses(sleeperName_), 0);
}

TEST_F(WatchTest, UnrelatedProcessOfTheSameNameIsNeitherWaitedForNorTerminated) {
  // Another copy under the client's name (an interactive ftp.exe left open)
  // runs through the whole watch: the watch ends with its own process.
  StartedProcess other;
  const std::string line = "\"" + sleeper_ + "\" sleep 120";
  StartProcess(line.c_str(), &other);
  ASSERT_TRUE(other.started);
  for (const char* limit : {"3600", "1"}) {
    SCOPED_TRACE(limit);
    SetLimit(limit);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Watch(sleeper_, limit[0] == '1' ? "sleep 120" : "sleep 0"),
              limit[0] == '1' ? kWatchTimedOut : kWatchDone);
    EXPECT_LT(SecondsSince(start), 4.0);
    EXPECT_TRUE(StartedProcessRunning(&other));
  }
  TerminateStartedProcess(&other);
  ReleaseStartedProcess(&other);
}

TEST_F(WatchTest, WhatTheProgramStartedIsWatchedAndEndedWithIt) {
  // The helper starts a second copy that outlives it: the watch waits for
  // that one too, and ends it at the limit.
  SetLimit("1");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Watch(sleeper_, "spawn sleep 120"), kWatchTimedOut);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(CountProcesses(sleeperName_), 0);
}

// A start that fails leaves nothing to wait for: the watch ends at once,
// not at the limit (under Wine a watch once waited minutes with no client
// left; the job's count of processes is no longer trusted alone).
TEST_F(WatchTest, FailedStartEndsTheWatchAtOnce) {
  SetLimit("3600");
  const Clock::time_point start = Clock::now();
  int exitCode = 0;
  EXPECT_EQ(RunWatchedProcess(run_.settings(), (folder_.path() + "missing.exe").c_str(), "", nullptr, &exitCode),
            kWatchDone);
  EXPECT_EQ(exitCode, -1);
  EXPECT_LT(SecondsSince(start), 5.0);
}

// A client that crashes ends the watch at once. Under Wine the system's
// debugger held the crashed client (and waited on a dialog) inside the job,
// and the watch waited for the time limit. Guarded as our programs are, the
// crash ends the process with its exception's code.
TEST_F(WatchTest, ProgramThatCrashesEndsTheWatch) {
  struct Row {
    const char* args;
    int exitCode;
  };
#if defined(_WIN32)
  const int violation = static_cast<int>(EXCEPTION_ACCESS_VIOLATION);
#else
  const int violation = -1;  // killed by its signal
#endif
  for (const Row& row : {Row{"crash", -1}, Row{"crash guarded", violation}}) {
    SCOPED_TRACE(row.args);
    SetLimit("60");
    const Clock::time_point start = Clock::now();
    int exitCode = 0;
    EXPECT_EQ(RunWatchedProcess(run_.settings(), sleeper_.c_str(), row.args, nullptr, &exitCode), kWatchDone);
    EXPECT_EQ(exitCode, row.exitCode);
    EXPECT_LT(SecondsSince(start), 30.0);
    EXPECT_EQ(CountProcesses(sleeperName_), 0);
  }
}

// On Windows each client showed an empty console window of its own: it is
// started without one (CREATE_NO_WINDOW).
TEST_F(WatchTest, ProgramGetsNoConsoleWindow) {
#if defined(_WIN32)
  // As the program, which has no console to share: a console program it
  // starts would get a window of its own.
  FreeConsole();
#endif
  SetLimit("60");
  int exitCode = -1;
  EXPECT_EQ(RunWatchedProcess(run_.settings(), sleeper_.c_str(), "console", nullptr, &exitCode), kWatchDone);
  EXPECT_EQ(exitCode, 0);
}

TEST_F(WatchTest, TooLongCommandLineStartsNothing) {
  SetLimit("3600");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Watch(sleeper_, "sleep 120 " + std::string(300, 'x')), kWatchDone);
  EXPECT_LT(SecondsSince(start), 0.1);
  EXPECT_EQ(CountProcesses(sleeperName_), 0);
}

#if !defined(_WIN32)
TEST_F(WatchTest, ScriptIsWatchedUnderItsOwnName) {
  // Its image is the shell; the watch must still see the script, or a
  // wrapper script installed as the client would escape the limit.
  const std::string name = "qvscript" + sleeperName_.substr(7);
  const std::string script = folder_.path() + name;
  folder_.Write(name, "#!/bin/sh\nwhile :; do sleep 0.2; done\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  SetLimit("1");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Watch(script, ""), kWatchTimedOut);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(CountProcesses(name), 0);
}
#endif

TEST(ProcessList, ListsThisProgram) {
  char self[kPathBufferSize];
  ASSERT_GT(GetExecutablePath(self, sizeof self), 0);
  EXPECT_GE(CountProcesses(self + FileNameStart(self)), 1);
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
