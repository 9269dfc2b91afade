#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_log.h"
#include "tests/unit/support/test_support.h"

namespace {

time_t g_Now;
time_t FixedClock() { return g_Now; }

time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

// The log is a text-mode file: Windows stores every line feed as CR LF.
std::string OnDisk(const std::string& text) {
#if defined(_WIN32)
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
#else
  return text;
#endif
}

struct Event {
  const char* text;
  int day, hour, minute, second;  // of October 2011
};

struct RunCase {
  const char* why;
  const char* errorText;  // in the buffer before the last event
  std::vector<Event> events;
  const char* expected;
};

class RunLog : public ::testing::Test {
 protected:
  void SetUp() override {
    UseProgramFolder(folder_.path());
    saved_ = g_RunLogClock;
    g_RunLogClock = FixedClock;
  }
  void TearDown() override {
    WriteRunLog("終了");  // a log a test left open is closed before its folder goes
    g_RunLogClock = saved_;
    ClearErrorText();
  }
  void Play(const std::vector<Event>& events) {
    for (const Event& e : events) {
      g_Now = LocalTime(2011, 10, e.day, e.hour, e.minute, e.second);
      WriteRunLog(e.text);
    }
  }
  TempFolder folder_;
  time_t (*saved_)() = nullptr;
};

TEST_F(RunLog, LinesOfWholeRuns) {
  const RunCase cases[] = {
      {"clean run: one line ended by a line break", "",
       {{"", 26, 9, 0, 0},
        {"開始", 26, 9, 0, 0},
        {"ﾊﾞｯｸｱｯﾌﾟ", 26, 9, 0, 2},
        {"CSV変換", 26, 9, 0, 5},
        {"終了", 26, 9, 1, 40}},
       "2011/10/26 09:00:00-開始 09:00:02-ﾊﾞｯｸｱｯﾌﾟ 09:00:05-CSV変換 09:01:40-終了\n"},
      {"an error line follows the end entry on the next line",
       "  CUSTOMER.fdfのオープンに失敗(toCSV)\n",
       {{"", 26, 9, 0, 0}, {"開始", 26, 9, 0, 0}, {"CSV変換", 26, 9, 0, 5}, {"ｷｬﾝｾﾙ", 26, 9, 0, 7}},
       "2011/10/26 09:00:00-開始 09:00:05-CSV変換 09:00:07-ｷｬﾝｾﾙ\n"
       "  CUSTOMER.fdfのオープンに失敗(toCSV)\n"},
      {"abort: a blank, not a hyphen, and no error text", "  not written\n",
       {{"", 26, 9, 0, 0}, {"中止", 26, 9, 0, 31}},
       "2011/10/26 09:00:31 AS400からの応答がないため中止\n"},
      {"a run past midnight keeps its first date", "",
       {{"", 26, 23, 59, 58}, {"開始", 26, 23, 59, 59}, {"終了", 27, 0, 0, 3}},
       "2011/10/26 23:59:59-開始 00:00:03-終了\n"},
      {"an unterminated line runs on into the next run's date", "",
       {{"", 26, 9, 0, 0}, {"開始", 26, 9, 0, 1}, {"", 27, 9, 0, 0}, {"終了", 27, 9, 0, 4}},
       "2011/10/26 09:00:01-開始2011/10/27 09:00:04-終了\n"},
      {"events before the open and after the close write nothing", "",
       {{"開始", 26, 8, 0, 0}, {"", 26, 9, 0, 0}, {"終了", 26, 9, 0, 1}, {"開始", 26, 9, 0, 2}},
       "2011/10/26 09:00:01-終了\n"},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.why);
    folder_.Write("Quenvale.log", "");
    ClearErrorText();
    // The error text is in the buffer from the run's start: only end events
    // show it. Each case holds one line, "  " included.
    if (c.errorText[0] != '\0') AppendErrorLine("", c.errorText + 2);
    Play(c.events);
    EXPECT_EQ(folder_.Read("Quenvale.log"), OnDisk(c.expected));
  }
}

TEST_F(RunLog, AppendsToEarlierRuns) {
  folder_.Write("Quenvale.log", OnDisk("2011/10/25 09:00:00-開始 09:00:09-終了\n"));
  Play({{"", 26, 9, 0, 0}, {"終了", 26, 9, 0, 1}});
  EXPECT_EQ(folder_.Read("Quenvale.log"),
            OnDisk("2011/10/25 09:00:00-開始 09:00:09-終了\n2011/10/26 09:00:01-終了\n"));
}

TEST_F(RunLog, DateCodes) {
  struct Case {
    int y, mo, d;
    int expected;
    const char* why;
  } const cases[] = {
      {2011, 10, 26, 201110263, "Wednesday, as the date code is defined"},
      {2011, 10, 30, 201110300, "Sunday ends in 0"},
      {2011, 10, 29, 201110296, "Saturday ends in 6"},
      {2012, 2, 29, 201202293, "leap day"},
      {2011, 1, 1, 201101016, "first day of a year"},
  };
  for (const Case& c : cases) {
    g_Now = LocalTime(c.y, c.mo, c.d, 12, 0, 0);
    // No log is open: ordinary and end events still give the date code.
    EXPECT_EQ(WriteRunLog("開始"), c.expected) << c.why;
    EXPECT_EQ(WriteRunLog("終了"), c.expected) << c.why;
    EXPECT_EQ(WriteRunLog(""), c.expected) << c.why;
    EXPECT_EQ(WriteRunLog("中止"), c.expected) << c.why;
  }
}

TEST_F(RunLog, UnopenableLogGivesMinusOneAndLaterEventsStillDate) {
  UseProgramFolder(folder_.path() + "missing" + std::string(1, folder_.path().back()));
  g_Now = LocalTime(2011, 10, 26, 9, 0, 0);
  EXPECT_EQ(WriteRunLog(""), -1);
  EXPECT_EQ(WriteRunLog("開始"), 201110263);
  EXPECT_EQ(WriteRunLog("終了"), 201110263);
}

TEST_F(RunLog, OverlongProgramFolderDoesNotOpenACutPath) {
  // 250 bytes of folder leave no room for "Quenvale.log" in 256.
  CopyText(g_ProgramFolder, kPathBufferSize, (folder_.path() + std::string(250, 'x')).c_str());
  g_Now = LocalTime(2011, 10, 26, 9, 0, 0);
  EXPECT_EQ(WriteRunLog(""), -1);
  EXPECT_EQ(WriteRunLog("終了"), 201110263);
}

}  // namespace
