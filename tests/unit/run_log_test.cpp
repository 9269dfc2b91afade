#include "app/run_log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "base/error_text.h"
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

struct Event {
  RunLogEvent event;
  int day, hour, minute, second;  // of October 2011
};

constexpr RunLogEvent kOpen = RunLogEvent::kOpen;
constexpr RunLogEvent kAbort = RunLogEvent::kAbort;
constexpr RunLogEvent kStart = RunLogEvent::kStart;
constexpr RunLogEvent kBackup = RunLogEvent::kBackup;
constexpr RunLogEvent kConvert = RunLogEvent::kConvert;
constexpr RunLogEvent kEnd = RunLogEvent::kEnd;
constexpr RunLogEvent kCancel = RunLogEvent::kCancel;

struct RunCase {
  const char* why;
  const char* errorText;  // in the error text before the last event
  std::vector<Event> events;
  const char* expected;
};

class RunLogTest : public ::testing::Test {
 protected:
  void Play(RunLog* log, const std::vector<Event>& events) {
    for (const Event& e : events) {
      g_Now = LocalTime(2011, 10, e.day, e.hour, e.minute, e.second);
      log->Write(e.event);
    }
  }
  TempFolder folder_;
  ErrorText errors_;
};

TEST_F(RunLogTest, LinesOfWholeRuns) {
  const RunCase cases[] = {
      {"clean run: one line ended by a line break", "",
       {{kOpen, 26, 9, 0, 0},
        {kStart, 26, 9, 0, 0},
        {kBackup, 26, 9, 0, 2},
        {kConvert, 26, 9, 0, 5},
        {kEnd, 26, 9, 1, 40}},
       "2011/10/26 09:00:00-開始 09:00:02-ﾊﾞｯｸｱｯﾌﾟ 09:00:05-CSV変換 09:01:40-終了\n"},
      {"an error line follows the end entry on the next line",
       "  CUSTOMER.fdfのオープンに失敗(toCSV)\n",
       {{kOpen, 26, 9, 0, 0}, {kStart, 26, 9, 0, 0}, {kConvert, 26, 9, 0, 5}, {kCancel, 26, 9, 0, 7}},
       "2011/10/26 09:00:00-開始 09:00:05-CSV変換 09:00:07-ｷｬﾝｾﾙ\n"
       "  CUSTOMER.fdfのオープンに失敗(toCSV)\n"},
      {"abort: a blank, not a hyphen, and no error text", "  not written\n",
       {{kOpen, 26, 9, 0, 0}, {kAbort, 26, 9, 0, 31}},
       "2011/10/26 09:00:31 AS400からの応答がないため中止\n"},
      {"a run past midnight keeps its first date", "",
       {{kOpen, 26, 23, 59, 58}, {kStart, 26, 23, 59, 59}, {kEnd, 27, 0, 0, 3}},
       "2011/10/26 23:59:59-開始 00:00:03-終了\n"},
      {"a line left without its end (a run that died) is ended before the next run's", "",
       {{kOpen, 26, 9, 0, 0}, {kStart, 26, 9, 0, 1}, {kOpen, 27, 9, 0, 0}, {kEnd, 27, 9, 0, 4}},
       "2011/10/26 09:00:01-開始\n2011/10/27 09:00:04-終了\n"},
      {"a run that cannot take its lock: one whole line", "",
       {{kOpen, 26, 9, 0, 0}, {RunLogEvent::kLockFailed, 26, 9, 0, 1}, {kEnd, 26, 9, 0, 2}},
       "2011/10/26 09:00:01 Quenvale.lockを開けないため中止\n"},
      {"events before the open and after the close write nothing", "",
       {{kStart, 26, 8, 0, 0}, {kOpen, 26, 9, 0, 0}, {kEnd, 26, 9, 0, 1}, {kStart, 26, 9, 0, 2}},
       "2011/10/26 09:00:01-終了\n"},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.why);
    folder_.Write("Quenvale.log", "");
    errors_.Clear();
    // The error text is there from the run's start: only end events show
    // it. Each case holds one line, "  " included.
    if (c.errorText[0] != '\0') errors_.AppendLine("", c.errorText + 2);
    {
      RunLog log(folder_.path().c_str(), &errors_, FixedClock);
      Play(&log, c.events);
    }
    EXPECT_EQ(folder_.Read("Quenvale.log"), Nl(c.expected));
  }
}

TEST_F(RunLogTest, AppendsToEarlierRuns) {
  folder_.Write("Quenvale.log", Nl("2011/10/25 09:00:00-開始 09:00:09-終了\n"));
  {
    RunLog log(folder_.path().c_str(), &errors_, FixedClock);
    Play(&log, {{kOpen, 26, 9, 0, 0}, {kEnd, 26, 9, 0, 1}});
  }
  EXPECT_EQ(folder_.Read("Quenvale.log"),
            Nl("2011/10/25 09:00:00-開始 09:00:09-終了\n2011/10/26 09:00:01-終了\n"));
}

TEST_F(RunLogTest, DateCodes) {
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
  RunLog log(folder_.path().c_str(), &errors_, FixedClock);
  for (const Case& c : cases) {
    g_Now = LocalTime(c.y, c.mo, c.d, 12, 0, 0);
    // No log is open: ordinary and end events still give the date code.
    EXPECT_EQ(log.Write(kStart), c.expected) << c.why;
    EXPECT_EQ(log.Write(kEnd), c.expected) << c.why;
    EXPECT_EQ(log.Write(kOpen), c.expected) << c.why;
    EXPECT_EQ(log.Write(kAbort), c.expected) << c.why;
  }
}

TEST_F(RunLogTest, UnopenableLogGivesMinusOneAndLaterEventsStillDate) {
  const std::string missing = folder_.path() + "missing" + std::string(1, folder_.path().back());
  RunLog log(missing.c_str(), &errors_, FixedClock);
  g_Now = LocalTime(2011, 10, 26, 9, 0, 0);
  EXPECT_EQ(log.Write(kOpen), -1);
  EXPECT_EQ(log.Write(kStart), 201110263);
  EXPECT_EQ(log.Write(kEnd), 201110263);
  EXPECT_TRUE(log.failed());  // the run's exit code tells it
}

TEST_F(RunLogTest, OverlongProgramFolderDoesNotOpenACutPath) {
  // A folder of 250 bytes leaves no room for "Quenvale.log" in 255.
  const std::string folder = folder_.path() + std::string(250 - folder_.path().size(), 'x');
  RunLog log(folder.c_str(), &errors_, FixedClock);
  g_Now = LocalTime(2011, 10, 26, 9, 0, 0);
  EXPECT_EQ(log.Write(kOpen), -1);
  EXPECT_EQ(log.Write(kEnd), 201110263);
}

}  // namespace
