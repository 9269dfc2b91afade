#include <gtest/gtest.h>

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

TEST(ErrorText, CutsAtCharacterBoundaryAndKeepsLineEnd) {
  g_ErrorText[0] = '\0';
  std::string name(120, 'N');
  AppendErrorLine(name.c_str(), ".fdfのオープンに失敗(toCSV)\n");
  AppendErrorLine(name.c_str(), ".fdfのオープンに失敗(toCSV)\n");
  AppendErrorLine(name.c_str(), ".fdfのオープンに失敗(toCSV)\n");
  const std::string text = g_ErrorText;
  ASSERT_LE(text.size(), 255u);
  EXPECT_EQ(text.back(), '\n');
  // Every character is whole: no lone lead byte before the line end.
  EXPECT_NE(ClassifySjisByte(g_ErrorText, static_cast<int>(text.size()) - 1), 2);
  EXPECT_EQ(ClassifySjisByte(g_ErrorText, static_cast<int>(text.size())), 0);
  g_ErrorText[0] = '\0';
}

TEST(ErrorText, FullBufferTakesNothingMore) {
  g_ErrorText[0] = '\0';
  for (int i = 0; i < 40; ++i) AppendErrorLine("ABC", "のﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n");
  EXPECT_LE(std::string(g_ErrorText).size(), 255u);
  EXPECT_EQ(std::string(g_ErrorText).back(), '\n');
  g_ErrorText[0] = '\0';
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
