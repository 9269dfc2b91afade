#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/error_text.h"
#include "base/path.h"
#include "base/sjis.h"
#include "base/text.h"

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

// Every name comparison of the program (members, file and process names,
// settings sections and keys) goes through SameName.
struct SameNameCase {
  std::string a;
  int aLength;  // -1: all of a (the two-argument form)
  std::string b;
  bool expected;
  const char* why;
};

const SameNameCase kSameNameCases[] = {
    {"FTP.EXE", -1, "ftp.exe", true, "ASCII letters fold"},
    {"Ftp.Exe", -1, "fTP.eXE", true, "in either direction"},
    {"", -1, "", true, "two empty names"},
    {"ftp.ex", -1, "ftp.exe", false, "a shorter name"},
    {"ftp.exe", -1, "ftp.ex", false, "a longer name"},
    {"ftp.exe", -1, "ftp2.exe", false, "another name"},
    {"[", -1, "{", false, "0x5B and 0x7B are no letters"},
    {"@", -1, "`", false, "0x40 and 0x60 are no letters"},
    {"ｱ", -1, "ﾁ", false, "half-width katakana ｱ (0xB1) and ﾁ (0xC1)"},
    {"ｱ", -1, "ﾑ", false, "half-width katakana do not fold: ｱ 0xB1 and ﾑ 0xD1 lie 0x20 apart"},
    {"ｶa", -1, "ｶA", true, "a letter after half-width katakana still folds"},
    {"ア", -1, "ア", true, "the same double-byte character"},
    {"ア", -1, "ヂ", false, "ア 0x83 0x41 and ヂ 0x83 0x61: a trail byte is no letter"},
    {"ヂ", -1, "ア", false, "nor the other way round"},
    {"表a", -1, "表A", true, "a letter after a double-byte character folds"},
    {"\x81\x81" "a", -1, "\x81\x81" "A", true, "a lead-range trail byte ends its character"},
    {"\x81" "a", -1, "\x81" "A", false, "a letter-range trail byte after a lead byte compares exactly"},
    {"Ａ", -1, "ａ", false, "full-width letters are not ASCII"},
    {"A.DB2", 1, "a", true, "the first aLength bytes of a"},
    {"A.DB2", 1, "a.db2", false, "against all of b"},
    {std::string("A\0B", 3), 3, "A", false, "a zero byte within aLength differs"},
};

TEST(SameName, Table) {
  for (const SameNameCase& c : kSameNameCases) {
    const bool same = c.aLength < 0 ? SameName(c.a.c_str(), c.b.c_str())
                                    : SameName(c.a.data(), static_cast<size_t>(c.aLength), c.b.c_str());
    EXPECT_EQ(same, c.expected) << c.why;
  }
}

const std::string S(1, kPathSep);

struct NameStartCase {
  std::string path;
  int expected;
  const char* why;
};

const NameStartCase kNameStartCases[] = {
    {"ftp.exe", 0, "a bare name is the whole text"},
    {"C:" + S + "WINDOWS" + S + "ftp.exe", 11, "after the last separator"},
    {S + "ftp.exe", 1, "a separator at index 0 counts"},
    {"C:" + S + "表" + S + "ftp.exe", 6, "past a double-byte folder name"},
    {"C:" + S + "表ftp.exe", 3, "表's trail byte 0x5C is no separator"},
    {"C:" + S + "表", 3, "name ending in a trail byte 0x5C"},
    {"ソ" + S + "x", 3, "a separator right after ソ (0x83 0x5C)"},
    {"表", 0, "a lone double-byte name"},
    {"", 0, "empty path"},
    {"a" + S, 2, "ends in a separator: an empty name"},
};

TEST(FileNameStart, Table) {
  for (const NameStartCase& c : kNameStartCases) {
    EXPECT_EQ(FileNameStart(c.path.c_str()), c.expected) << c.why;
  }
}

TEST(ErrorText, OverlongLineIsCutWholeAndKeepsItsLineEnd) {
  ErrorText errors;
  std::string pairs = "N";
  for (int i = 0; i < 600; ++i) pairs += "表";
  errors.AppendLine(pairs.c_str(), ".fdfのオープンに失敗(toCSV)\n");
  const std::string text = errors.text();
  ASSERT_LE(text.size(), 1001u);
  EXPECT_EQ(text.back(), '\n');
  // Every character is whole: no lone lead byte before the line end.
  EXPECT_NE(ClassifySjisByte(text.c_str(), static_cast<int>(text.size()) - 1), 2);
  EXPECT_EQ(text.rfind("表\n"), text.size() - 3);
}

// A whole night's lines are kept; past the limit every later line is left
// out and counted, so nothing is cut mid-line and the log says how many.
TEST(ErrorText, KeepsWholeLinesThenCountsTheRest) {
  ErrorText errors;
  const std::string message = "のﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n";
  const std::string line = "  FILE0000" + message;
  const int fitting = (kErrorTextSize - 1 - 48) / static_cast<int>(line.size());
  for (int i = 0; i < fitting + 5; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "FILE%04d", i);
    errors.AppendLine(name, message.c_str());
  }
  errors.AppendLine("SHORT", "\n");  // would fit, but comes after a line left out
  const std::string text = errors.text();
  EXPECT_LT(text.size(), static_cast<size_t>(kErrorTextSize));
  EXPECT_EQ(text.find("  FILE0000"), 0u);
  const std::string tail = "  ほか6件のエラーを省略\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.size() - tail.size(), static_cast<size_t>(fitting) * line.size());
  EXPECT_EQ(text.find("SHORT"), std::string::npos);
  errors.Clear();
  EXPECT_STREQ(errors.text(), "");
  EXPECT_TRUE(errors.empty());
  errors.AppendLine("A", "の名前");  // a message without its line end gets one
  EXPECT_STREQ(errors.text(), "  Aの名前\n");
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
