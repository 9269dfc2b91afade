#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/process_state.h"
#include "convert/sjis.h"

namespace {

struct ClassifyCase {
  const char* text;
  int index;
  int expected;
  const char* why;
};

const ClassifyCase kClassifyCases[] = {
    {"表", 1, 2, "trail byte 0x5C of 表 is not a backslash"},
    {"表", 0, 1, "lead byte"},
    {"a\\", 1, 0x5C, "backslash after a single-byte character"},
    {"ｱ", 0, 0xB1, "half-width katakana is single-byte"},
    {"\x81\x81", 1, 2, "a lead-range byte after a lead byte is a trail byte"},
    {"表", 2, 2, "terminator after a complete double-byte character"},
    {"\x95", 1, 1, "terminator after a lone lead byte"},
    {"", 0, 0, "terminator of an empty text"},
    {"ab", 2, 0, "terminator after single-byte text"},
    {"C:", 2, 0, "past the terminator of a short address"},
    {"ab", 7, 0, "far past the terminator"},
    {"ab", -1, 0, "negative index"},
    {"ソ\\x", 2, 0x5C, "a real backslash after ソ (0x83 0x5C)"},
};

TEST(ClassifySjisByte, Table) {
  for (const ClassifyCase& c : kClassifyCases) {
    EXPECT_EQ(ClassifySjisByte(c.text, c.index), c.expected) << c.why;
  }
}

// The backward check must agree with the forward walk on any text; bytes
// near the lead ranges' edges and the trail-only range are the ones to mix.
TEST(EndsInLeadByte, AgreesWithForwardWalk) {
  const unsigned char pool[] = {0x20, 0x40, 0x5C, 0x7F, 0x80, 0x81, 0x88, 0x9F,
                                0xA0, 0xB1, 0xDF, 0xE0, 0xEA, 0xFC, 0xFD, 0x41};
  uint32_t seed = 12345;
  char text[40];
  for (int round = 0; round < 20000; ++round) {
    seed = seed * 1103515245u + 12345u;
    const size_t length = (seed >> 16) % 32;
    for (size_t i = 0; i < length; ++i) {
      seed = seed * 1103515245u + 12345u;
      text[i] = static_cast<char>(pool[(seed >> 16) % sizeof pool]);
    }
    text[length] = ' ';  // a cut byte follows, as when blanks were trimmed
    text[length + 1] = '\0';
    ASSERT_EQ(EndsInLeadByte(text, length), ClassifySjisByte(text, static_cast<int>(length)) == 2)
        << "round " << round;
  }
}

TEST(ErrorText, OverlongLineIsCutWholeAndKeepsItsLineEnd) {
  ClearErrorText();
  std::string pairs = "N";
  for (int i = 0; i < 600; ++i) pairs += "表";
  AppendErrorLine(pairs.c_str(), ".fdfのオープンに失敗(toCSV)\n");
  const std::string text = ErrorText();
  ASSERT_LE(text.size(), 1001u);
  EXPECT_EQ(text.back(), '\n');
  // Every character is whole: no lone lead byte before the line end.
  EXPECT_NE(ClassifySjisByte(text.c_str(), static_cast<int>(text.size()) - 1), 2);
  EXPECT_EQ(text.rfind("表\n"), text.size() - 3);
  ClearErrorText();
}

// A whole night's lines are kept; past the limit every later line is left
// out and counted, so nothing is cut mid-line and the log says how many.
TEST(ErrorText, KeepsWholeLinesThenCountsTheRest) {
  ClearErrorText();
  const std::string message = "のﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n";
  const std::string line = "  FILE0000" + message;
  const int fitting = (kErrorTextSize - 1 - 48) / static_cast<int>(line.size());
  for (int i = 0; i < fitting + 5; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "FILE%04d", i);
    AppendErrorLine(name, message.c_str());
  }
  AppendErrorLine("SHORT", "\n");  // would fit, but comes after a line left out
  const std::string text = ErrorText();
  EXPECT_LT(text.size(), static_cast<size_t>(kErrorTextSize));
  EXPECT_EQ(text.find("  FILE0000"), 0u);
  const std::string tail = "  ほか6件のエラーを省略\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.size() - tail.size(), static_cast<size_t>(fitting) * line.size());
  EXPECT_EQ(text.find("SHORT"), std::string::npos);
  ClearErrorText();
  EXPECT_STREQ(ErrorText(), "");
  AppendErrorLine("A", "の名前");  // a message without its line end gets one
  EXPECT_STREQ(ErrorText(), "  Aの名前\n");
  ClearErrorText();
}

TEST(CopyText, ReportsCutsWithoutSplittingCharacters) {
  char buf[4];
  EXPECT_TRUE(CopyText(buf, sizeof buf, "abc"));
  EXPECT_TRUE(CopyText(buf, sizeof buf, "a表"));  // 表 takes the last two bytes
  EXPECT_STREQ(buf, "a表");
  EXPECT_FALSE(CopyText(buf, sizeof buf, "ab表"));
  EXPECT_STREQ(buf, "ab");
}

}  // namespace
