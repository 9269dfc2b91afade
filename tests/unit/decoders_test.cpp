// The code tables (built-in, [EBCDIC], [KANJI]), the three field decoders
// and the code error report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <iconv.h>
#endif

#include "convert/code_tables.h"
#include "convert/decoders.h"
#include "platform/stream.h"
#include "tests/unit/support/test_support.h"

namespace {

using Bytes = std::string;

// ---- Built-in table ----------------------------------------------------------

TEST(BuiltInTable, CountEndsAndOrder) {
  const DoubleByteEntry* t = BuiltInTable();
  const int n = BuiltInTableSize();
  ASSERT_EQ(n, 7265);
  EXPECT_EQ(t[0].host, 0x4040);
  EXPECT_EQ(t[0].sjis, 0x8140);
  EXPECT_EQ(t[n - 1].host, 0x6885);
  EXPECT_EQ(t[n - 1].sjis, 0xE086);
  for (int k = 1; k < n; ++k) ASSERT_LT(t[k - 1].host, t[k].host) << "entry " << k;
  std::vector<uint16_t> sjis;
  for (int k = 0; k < n; ++k) sjis.push_back(t[k].sjis);
  std::sort(sjis.begin(), sjis.end());
  EXPECT_EQ(std::adjacent_find(sjis.begin(), sjis.end()), sjis.end()) << "a Shift-JIS code twice";
}

TEST(BuiltInTable, CountsByHostFirstByte) {
  std::map<int, int> counts;
  const DoubleByteEntry* t = BuiltInTable();
  for (int k = 0; k < BuiltInTableSize(); ++k) {
    const int lo = t[k].host & 0xFF;
    if (t[k].host != 0x4040) {
      EXPECT_GE(lo, 0x41) << std::hex << t[k].host;
      EXPECT_LE(lo, 0xFE) << std::hex << t[k].host;
    }
    ++counts[t[k].host >> 8];
  }
  std::map<int, int> expected = {{0x40, 1}, {0x41, 134}, {0x42, 94}, {0x43, 168},
                                 {0x44, 153}, {0x55, 186}, {0x68, 69}};
  for (int hi = 0x45; hi <= 0x67; ++hi) {
    if (hi != 0x55) expected[hi] = 190;
  }
  EXPECT_EQ(counts, expected);
}

TEST(BuiltInTable, ShiftJisRanges) {
  struct Range {
    unsigned lo, hi;
    int count;
  };
  // Non-kanji, first-level kanji, second-level kanji, IBM extensions.
  const Range ranges[] = {
      {0x8140, 0x84BE, 524}, {0x889F, 0x9872, 2965}, {0x989F, 0xEAA4, 3390}, {0xFA40, 0xFC4B, 386}};
  int counts[4] = {};
  const DoubleByteEntry* t = BuiltInTable();
  for (int k = 0; k < BuiltInTableSize(); ++k) {
    const unsigned s = t[k].sjis;
    // NEC codes and the user-defined area never appear.
    EXPECT_FALSE(s >= 0x8740 && s <= 0x879C) << std::hex << s;
    EXPECT_FALSE(s >= 0xED40 && s <= 0xEEFC) << std::hex << s;
    EXPECT_FALSE(s >= 0xF040 && s <= 0xF9FC) << std::hex << s;
    bool inside = false;
    for (int r = 0; r < 4; ++r) {
      if (s >= ranges[r].lo && s <= ranges[r].hi) {
        ++counts[r];
        inside = true;
      }
    }
    EXPECT_TRUE(inside) << std::hex << s;
  }
  for (int r = 0; r < 4; ++r) EXPECT_EQ(counts[r], ranges[r].count) << "range " << r;
}

struct TellingRow {
  unsigned host, sjis;
  const char* why;
};

const TellingRow kTellingRows[] = {
    {0x4040, 0x8140, "ideographic space"},
    {0x4141, 0x83BF, "alpha"},
    {0x41B1, 0xFA40, "small Roman numeral one"},
    {0x41F1, 0xFA4A, "Roman numeral one: IBM code, not NEC 0x8754"},
    {0x41FA, 0xFA53, "Roman numeral ten: IBM code, not NEC 0x875D"},
    {0x425B, 0x818F, "full-width yen"},
    {0x425F, 0x81CA, "not sign: JIS X 0208 code, not 0xFA54"},
    {0x4260, 0x817C, "full-width minus"},
    {0x426A, 0xFA55, "broken bar"},
    {0x42C1, 0x8260, "full-width A"},
    {0x42F0, 0x824F, "full-width 0"},
    {0x4281, 0x8281, "full-width a"},
    {0x4447, 0x829F, "small hiragana a"},
    {0x446D, 0xFA58, "parenthesised kabushiki, not 0x878A"},
    {0x446E, 0xFA59, "numero, not 0x8782"},
    {0x446F, 0xFA5A, "telephone sign, not 0x8784"},
    {0x4478, 0x81E6, "because: JIS X 0208 code, not 0xFA5B"},
    {0x4481, 0x82A0, "hiragana a"},
    {0x4541, 0x88EA, "first kanji"},
    {0x4542, 0x93F1, "kanji two"},
    {0x5541, 0x8B64, "first entry of 0x55"},
    {0x55FA, 0, "0x55FB-0x55FE absent, so 0x55FA is the last of 0x55"},
    {0x6885, 0xE086, "last entry"},
};

TEST(BuiltInTable, TellingRows) {
  const auto tables = std::make_unique<CodeTables>();  // no user entries
  for (const TellingRow& r : kTellingRows) {
    if (r.sjis == 0) {
      EXPECT_NE(LookupDoubleByte(*tables, r.host), 0u) << r.why;
      for (unsigned h = r.host + 1; h <= 0x55FE; ++h) EXPECT_EQ(LookupDoubleByte(*tables, h), 0u) << r.why;
    } else {
      EXPECT_EQ(LookupDoubleByte(*tables, r.host), r.sjis) << std::hex << r.host << " " << r.why;
    }
  }
  EXPECT_EQ(LookupDoubleByte(*tables, 0x6941), 0u) << "user-defined area";
  EXPECT_EQ(LookupDoubleByte(*tables, 0x42E1), 0u) << "euro sign of later code pages";
}

// The built-in table against a source of its own, the C library's mapping of
// host code page 930 to code page 943. The table is the host's double-byte
// codes outside the user-defined rows: lead byte 0x41-0x68 with a second
// byte 0x41-0xFE, and the ideographic space 0x4040. Each of them that iconv
// turns into one two-byte character must be found with that character,
// unless the character lies in code page 943's user-defined area
// 0xF040-0xF9FC (a mirror of host user codes, which the [KANJI] table
// serves). Every other code of the 65536, the user-defined rows 0x69-0x7F
// included, must be absent.
TEST(BuiltInTable, AgreesWithIconvForEveryCode) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows C library has no iconv; the native build checks the table against it";
#else
  iconv_t cd = iconv_open("IBM943", "IBM930");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "iconv has no IBM930 -> IBM943 (glibc's gconv modules)";
  const auto tables = std::make_unique<CodeTables>();  // no user entries
  int mapped = 0;
  for (unsigned code = 0; code <= 0xFFFF; ++code) {
    const unsigned lead = code >> 8, trail = code & 0xFF;
    const bool builtInRow = code == 0x4040 || (lead >= 0x41 && lead <= 0x68 && trail >= 0x41 && trail <= 0xFE);
    unsigned expected = 0;
    if (builtInRow) {
      char in[4] = {0x0E, static_cast<char>(lead), static_cast<char>(trail), 0x0F};
      char out[16];
      char* src = in;
      size_t srcLeft = sizeof in;
      char* dst = out;
      size_t dstLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);  // each code from the initial shift state
      if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1) && dst - out == 2) {
        const unsigned sjis = static_cast<unsigned char>(out[0]) << 8 | static_cast<unsigned char>(out[1]);
        if (sjis < 0xF040 || sjis > 0xF9FC) expected = sjis;
      }
    }
    ASSERT_EQ(LookupDoubleByte(*tables, code), expected) << std::hex << "code 0x" << code;
    if (expected != 0) ++mapped;
  }
  iconv_close(cd);
  EXPECT_EQ(mapped, BuiltInTableSize());
#endif
}

// ---- Settings sections ---------------------------------------------------------

class SettingsTest : public ::testing::Test {
 protected:
  void WriteSettings(const std::string& text) { folder_.Write("Quenvale.ini", text); }
  int LoadSingleByte() { return LoadSingleByteTable(run_.settings(), tables_.get()); }
  void LoadUserDoubleByte() { LoadUserDoubleByteTable(run_.settings(), tables_.get()); }

  TempFolder folder_;
  TestRun run_{folder_.path()};
  std::unique_ptr<CodeTables> tables_ = std::make_unique<CodeTables>();
};

struct EbcdicCase {
  int code;
  int expected;
  const char* why;
};

TEST_F(SettingsTest, EbcdicEntryForms) {
  WriteSettings(
      "[Quenvale]\n"
      "IPADDRESS=127.0.0.1\n"
      "[EBCDIC]\n"
      "XXC1 A\n"       // separator and character
      "XX40\n"         // key alone: blank
      "XX4B \n"        // key and a trailing blank, which is not delivered: blank
      "XX7E=\n"        // key and '=': '='
      "XX7D =\n"       // key, a blank and '=': '='
      "XXC5=A\n"       // '=' as fifth character wins over the sixth
      "XXc3 c\n"       // lower-case hex digits
      "XXC4 D\n"
      "XXC4 E\n"       // a later entry for the same code wins
      "XXF1 1 extra\n" // anything after the sixth character is ignored
      "XXF2 \xB1\n"    // half-width katakana
      "XXF3X\n"        // exactly five characters: unmapped
      "ab\n"           // too short: skipped
      "abc\n"          // too short: skipped
      "XXZ1 Q\n"       // not hexadecimal: skipped
      "XX1G Q\n"       // not hexadecimal (the digit rule would give 0x10): skipped
      "XX-1 Q\n"       // not hexadecimal: skipped
      "[KANJI]\n"
      "XX4141=AB\n");
  tables_->singleByte[0xF3] = 'Z';  // an earlier load's value that the five-character entry clears
  ASSERT_EQ(LoadSingleByte(), 1);
  const EbcdicCase cases[] = {
      {0xC1, 'A', "separator and character"},
      {0x40, ' ', "key alone"},
      {0x4B, ' ', "trailing blank not delivered"},
      {0x7E, '=', "key and '='"},
      {0x7D, '=', "key, blank and '='"},
      {0xC5, '=', "fifth character '='"},
      {0xC3, 'c', "lower-case digits"},
      {0xC4, 'E', "later entry wins"},
      {0xF1, '1', "rest ignored"},
      {0xF2, 0xB1, "half-width katakana"},
      {0xF3, 0, "five characters: unmapped"},
  };
  unsigned char expected[256] = {};
  for (const EbcdicCase& c : cases) {
    EXPECT_EQ(tables_->singleByte[c.code], c.expected) << c.why;
    expected[c.code] = static_cast<unsigned char>(c.expected);
  }
  // Nothing else changed: codes no entry names (and skipped entries) stay unmapped.
  for (int code = 0; code < 256; ++code) EXPECT_EQ(tables_->singleByte[code], expected[code]) << code;
}

TEST_F(SettingsTest, EbcdicMissingOrEmptySectionGivesZeroAndKeepsTable) {
  tables_->singleByte[0xC1] = 'A';
  WriteSettings("[Quenvale]\nIPADDRESS=127.0.0.1\n[EBCDIC]\n[KANJI]\nXX4141=AB\n");
  EXPECT_EQ(LoadSingleByte(), 0) << "empty section";
  WriteSettings("[Quenvale]\nIPADDRESS=127.0.0.1\n");
  EXPECT_EQ(LoadSingleByte(), 0) << "missing section";
  EXPECT_EQ(tables_->singleByte[0xC1], 'A');
  // A section whose entries are all skipped still delivered entries.
  WriteSettings("[EBCDIC]\nab\n");
  EXPECT_EQ(LoadSingleByte(), 1);
  EXPECT_EQ(tables_->singleByte[0xC1], 'A');
}

// Both sections were once cut at 3,000 bytes without a word: the entries
// past it were not used.
TEST_F(SettingsTest, SectionsPast3000BytesAreReadWhole) {
  std::string ebcdic = "[EBCDIC]\n";
  std::string kanji = "[KANJI]\n";
  const std::string pad(100, 'p');
  char line[200];
  for (int k = 0; k < 40; ++k) {  // 40 entries of about 107 bytes: about 4300 bytes each
    snprintf(line, sizeof line, "XX%02X Z%s\n", 0x41 + k, pad.c_str());
    ebcdic += line;
    snprintf(line, sizeof line, "KK%04X=\x88\xEA%s\n", 0x6941 + k, pad.c_str());
    kanji += line;
  }
  WriteSettings(ebcdic + kanji);
  ASSERT_EQ(LoadSingleByte(), 1);
  LoadUserDoubleByte();
  for (int k = 0; k < 40; ++k) {
    EXPECT_EQ(tables_->singleByte[0x41 + k], 'Z') << k;
    EXPECT_TRUE(UserTableHasHostCode(*tables_, 0x6941 + k)) << k;
  }
}

TEST_F(SettingsTest, KanjiEntryForms) {
  WriteSettings(
      "[EBCDIC]\n"
      "XXC1 A\n"
      "[KANJI]\n"
      "K16941=\x88\xEA\n"        // user-defined code to 一
      "K26941=\x93\xF1\n"        // a second entry for the same code: the first counts
      "K3FFFF=\x81\xA0\n"        // substitution pair, no slot
      "K44541=\x82\x60 more\n"   // overrides the built-in 一; rest ignored
      "K5ffff=\x81\x9B\n"        // a later FFFF entry replaces the pair (lower case)
      "K66942=A\n"               // eight characters: skipped
      "K769G2=\x88\xEA\n"        // not hexadecimal: skipped
      "K8694\n"                  // short: skipped
      "K96a43=\x88\xEA\n");      // lower-case digits
  LoadUserDoubleByte();
  const DoubleByteEntry expected[] = {{0x6941, 0x88EA}, {0x6941, 0x93F1}, {0x4541, 0x8260},
                                      {0x6A43, 0x88EA}, {0, 0}};
  for (size_t k = 0; k < sizeof expected / sizeof expected[0]; ++k) {
    EXPECT_EQ(tables_->user[k].host, expected[k].host) << k;
    EXPECT_EQ(tables_->user[k].sjis, expected[k].sjis) << k;
  }
  EXPECT_EQ(tables_->substitution[0], 0x81);
  EXPECT_EQ(tables_->substitution[1], 0x9B);
  EXPECT_EQ(LookupDoubleByte(*tables_, 0x6941), 0x88EAu) << "first of two entries";
  EXPECT_EQ(LookupDoubleByte(*tables_, 0x4541), 0x8260u) << "user entry wins over the built-in table";
  EXPECT_EQ(LookupDoubleByte(*tables_, 0x4542), 0x93F1u) << "built-in table still serves the rest";
  EXPECT_EQ(LookupDoubleByte(*tables_, 0x6942), 0u) << "skipped entry";
  EXPECT_TRUE(UserTableHasHostCode(*tables_, 0x6A43));
  EXPECT_FALSE(UserTableHasHostCode(*tables_, 0x6942));
  EXPECT_FALSE(UserTableHasHostCode(*tables_, 0xFFFF));

  // Every load rebuilds the table; an empty section leaves the pair alone.
  WriteSettings("[KANJI]\n[EBCDIC]\nXXC1 A\n");
  LoadUserDoubleByte();
  EXPECT_EQ(tables_->user[0].sjis, 0);
  EXPECT_FALSE(UserTableHasHostCode(*tables_, 0x6941));
  EXPECT_EQ(LookupDoubleByte(*tables_, 0x4541), 0x88EAu);
  EXPECT_EQ(tables_->substitution[0], 0x81);
  EXPECT_EQ(tables_->substitution[1], 0x9B);
}

TEST_F(SettingsTest, KanjiEntriesBeyondNinetyNineAreIgnored) {
  std::string text = "[KANJI]\n";
  char line[32];
  for (int k = 0; k < 150; ++k) {
    snprintf(line, sizeof line, "%02d%04X=\x88\xEA\n", k % 100, 0x6941 + k);
    text += line;
  }
  text += "ZZFFFF=\x81\xA0\n";  // after the table is full, still sets the pair
  WriteSettings(text);
  // The pair lies right after the table: it must survive the full table.
  tables_->substitution[0] = tables_->substitution[1] = 0;
  LoadUserDoubleByte();
  for (int k = 0; k < 99; ++k) {
    EXPECT_EQ(tables_->user[k].host, 0x6941 + k) << k;
    EXPECT_EQ(tables_->user[k].sjis, 0x88EA) << k;
  }
  EXPECT_EQ(tables_->user[99].host, 0);
  EXPECT_EQ(tables_->user[99].sjis, 0);
  EXPECT_TRUE(UserTableHasHostCode(*tables_, 0x6941 + 98));
  EXPECT_FALSE(UserTableHasHostCode(*tables_, 0x6941 + 99));
  EXPECT_EQ(tables_->substitution[0], 0x81);
  EXPECT_EQ(tables_->substitution[1], 0xA0);
}

// A settings file saved in UTF-8 (Notepad's default) once turned every
// half-width katakana into ＝ and 髙 into 鬮 without a word; it is refused.
// A Shift-JIS file never is: not with every half-width katakana as an
// [EBCDIC] value, nor with every character of the built-in table as a
// [KANJI] value.
TEST_F(SettingsTest, FilesNotSavedAsShiftJisAreTold) {
  std::string ebcdic = "[EBCDIC]\r\n", kanji = "[KANJI]\r\n";
  char line[32];
  for (int c = 0xA1; c <= 0xDF; ++c) {
    std::snprintf(line, sizeof line, "0x%02X %c\r\n", c - 0x60, c);
    ebcdic += line;
  }
  for (int k = 0; k < BuiltInTableSize(); ++k) {
    const unsigned sjis = BuiltInTable()[k].sjis;
    std::snprintf(line, sizeof line, "0x%04X=%c%c\r\n", 0x6941 + k % 0x900, sjis >> 8, sjis & 0xFF);
    kanji += line;
  }
  WriteSettings("[Quenvale]\r\n" + ebcdic + kanji);
  EXPECT_TRUE(run_.settings().shiftJis);

  struct Case {
    std::string text;
    bool shiftJis;
    const char* why;
  };
  const Case cases[] = {
      {"[EBCDIC]\r\n0x81 ｱ\r\n0x5B \\\r\n[KANJI]\r\n0x6941=髙\r\n", true, "Shift-JIS"},
      {std::string(u8"[EBCDIC]\r\n0x81 ｱ\r\n"), false, "a half-width katakana in UTF-8"},
      {std::string(u8"[KANJI]\r\n0x6941=髙\r\n"), false, "a Kanji in UTF-8"},
      {std::string(u8"[KANJI]\r\n0xFFFF=〓\r\n"), false, "the substitution character in UTF-8"},
      {"\xEF\xBB\xBF[EBCDIC]\r\n0xC1 A\r\n", false, "a UTF-8 byte-order mark"},
      {"\xFF\xFE[\0E\0", false, "a UTF-16 byte-order mark"},
      {"\xFE\xFF\0[\0E", false, "a UTF-16 big-endian byte-order mark"},
      {std::string(u8"[Quenvale]\r\nUSER=山田\r\n[EBCDIC]\r\n0xC1 A\r\n"), true,
       "only the tables' values count: ASCII tables read the same"},
      {"[EBCDIC]\r\n0x81 \xC2\r\n", true, "one byte is never a UTF-8 character"},
      {"[KANJI]\r\n0x6941=\xE9\xAB\x99\x88\r\n", true, "not UTF-8 to the end of the value"},
  };
  for (const Case& c : cases) {
    WriteSettings(c.text);
    EXPECT_EQ(run_.settings().shiftJis, c.shiftJis) << c.why;
  }
  WriteSettings("");
  EXPECT_TRUE(run_.settings().shiftJis) << "an empty file";
}

// ---- Decoders --------------------------------------------------------------------

class DecoderTest : public ::testing::Test {
 protected:
  DecoderTest() { Reset(); }

  // Fresh tables with a few letters and the pair □, counters at zero, no rows.
  void Reset() {
    tables_ = std::make_unique<CodeTables>();
    tables_->singleByte[0xC1] = 'A';
    tables_->singleByte[0xC2] = 'B';
    tables_->singleByte[0x40] = ' ';
    tables_->singleByte[0x7F] = '"';
    tables_->substitution[0] = 0x81;  // □
    tables_->substitution[1] = 0xA0;
    report_.Start("CUSTOMER", nullptr);
    with_ = DecodeContext{tables_.get(), &report_};
  }

  // The field as the file conversion hands it over: a copy followed by a zero.
  static std::vector<char> Field(const Bytes& in) {
    std::vector<char> v(in.begin(), in.end());
    v.push_back('\0');
    return v;
  }

  std::unique_ptr<CodeTables> tables_;
  CodeErrorReport report_;
  DecodeContext with_{};
};

struct DecodeCase {
  Bytes in;
  Bytes out;
  int count;
  int single;  // single-byte error counter afterwards
  int dbcs;    // double-byte error counter afterwards
  const char* why;
};

const Bytes kSub = "\x81\xA0";

TEST_F(DecoderTest, DoubleByteRun) {
  const DecodeCase cases[] = {
      {Bytes("\x40\x40", 2), "\x81\x40", 0, 0, 0, "ideographic space"},
      {"\x45\x41", "\x88\xEA", 0, 0, 0, "first kanji"},
      {"\x69\x41", kSub, 1, 0, 1, "user-defined area: substitution pair"},
      {"\x69\x41\x69\x42\x45\x41", kSub + kSub + "\x88\xEA", 2, 0, 2, "two unconvertible, then one"},
      {"\x45\x41\x45", "\x88\xEA\x81", 1, 0, 1, "odd length: 0x4500 is not found, lead byte kept"},
      {"\x42", "\x81", 1, 0, 1, "single byte: 0x4200 not found"},
      {"", "", 0, 0, 0, "empty run"},
  };
  for (const DecodeCase& c : cases) {
    Reset();
    std::vector<char> src = Field(c.in);
    char dst[256];
    memset(dst, 'x', sizeof dst);
    const int len = static_cast<int>(c.in.size());
    EXPECT_EQ(ConvertDoubleByteRun(src.data(), len, dst, with_), c.count) << c.why;
    EXPECT_EQ(HexOf(Bytes(dst, len)), HexOf(c.out)) << c.why;
    EXPECT_EQ(dst[len], '\0') << c.why;
    EXPECT_EQ(dst[len + 1], 'x') << c.why << ": wrote past the terminator";
    EXPECT_EQ(report_.singleByteErrors(), c.single) << c.why;
    EXPECT_EQ(report_.doubleByteErrors(), c.dbcs) << c.why;
  }
}

TEST_F(DecoderTest, DoubleByteRunUserTableAndZeroPair) {
  tables_->user[0] = {0x6941, 0x8260};
  tables_->user[1] = {0, 0};
  RebuildLookup(tables_.get());
  char dst[256];
  EXPECT_EQ(ConvertDoubleByteRun("\x69\x41\x45\x41", 4, dst, with_), 0);
  EXPECT_EQ(HexOf(Bytes(dst, 4)), HexOf("\x82\x60\x88\xEA"));
  // A zero pair still fills its two bytes; the text simply ends there.
  tables_->substitution[0] = tables_->substitution[1] = 0;
  EXPECT_EQ(ConvertDoubleByteRun("\x45\x41\x69\x42\x45\x42", 6, dst, with_), 1);
  EXPECT_EQ(HexOf(Bytes(dst, 7)), HexOf(Bytes("\x88\xEA\0\0\x93\xF1\0", 7)));
}

TEST_F(DecoderTest, MixedText) {
  const DecodeCase cases[] = {
      {"\xC1\x0E\x45\x41\x0F\xC2", "A\x88\xEA" "B", 0, 0, 0, "SO run SI between single bytes"},
      {"\xC1\x0E\x45\x41\x45", "A\x88\xEA", 0, 0, 0, "odd run without SI drops its last byte"},
      {"\x0E\x45\x41\x45\x0F\xC1", "\x88\xEA A", 1, 1, 0, "odd run: its SI is read as a single-byte code"},
      {"\x0E\x0F", "", 0, 0, 0, "empty run"},
      {"\xC1\x0E", "A", 0, 0, 0, "SO at the end of the field"},
      {"\x0E\x0F\x0F", " ", 1, 1, 0, "SI outside a run is a single-byte code"},
      {"\x0E\x45\x41\x45\x41", "\x88\xEA\x88\xEA", 0, 0, 0, "run to the end of the field without SI"},
      {"\xC1\x7F\xC2", "A\"\"B", 0, 0, 0, "double quotation mark doubled"},
      {"\x0E\x69\x41\x0F\xC1", kSub + "A", 1, 0, 1, "unconvertible double-byte character"},
      {"\x01\xC1\x02", " A ", 2, 2, 0, "unmapped single-byte codes become blanks"},
      {"\x0E\x45\x41\x0F\x0E\x45\x42\x0F", "\x88\xEA\x93\xF1", 0, 0, 0, "two runs"},
      {"", "", 0, 0, 0, "empty field"},
  };
  for (const DecodeCase& c : cases) {
    Reset();
    std::vector<char> src = Field(c.in);
    char dst[256];
    EXPECT_EQ(ConvertMixedText(src.data(), static_cast<int>(c.in.size()), dst, with_), c.count) << c.why;
    EXPECT_EQ(HexOf(dst), HexOf(c.out)) << c.why;
    EXPECT_EQ(report_.singleByteErrors(), c.single) << c.why;
    EXPECT_EQ(report_.doubleByteErrors(), c.dbcs) << c.why;
  }
}

TEST_F(DecoderTest, MixedTextZeroPairEndsText) {
  tables_->substitution[0] = tables_->substitution[1] = 0;
  char src[] = "\xC1\x0E\x45\x41\x69\x41\x45\x42\x0F\xC2";
  char dst[256];
  EXPECT_EQ(ConvertMixedText(src, 10, dst, with_), 1);
  EXPECT_EQ(HexOf(dst), HexOf("A\x88\xEA"));
  EXPECT_EQ(report_.doubleByteErrors(), 1);
}

// Doubled quotation marks can make a text twice its field: it is never cut
// (a value cut short is a wrong value), and every code is still counted.
TEST_F(DecoderTest, MixedTextWithDoubledQuotesIsNeverCut) {
  struct WholeCase {
    Bytes in;
    Bytes out;
    int count;
    const char* why;
  };
  const Bytes run30 = [] {
    Bytes b;
    for (int k = 0; k < 30; ++k) b += "\x45\x41";
    return b;
  }();
  Bytes kanji30;
  for (int k = 0; k < 30; ++k) kanji30 += "\x88\xEA";
  const WholeCase cases[] = {
      {Bytes(255, '\x7F'), Bytes(510, '"'), 0, "255 quotes give 510 bytes"},
      {Bytes(100, '\x7F') + "\x0E" + run30 + "\x0F", Bytes(200, '"') + kanji30, 0,
       "a double-byte run after the quotes is whole"},
      {Bytes(200, '\x7F') + "\x01\x0E\x69\x41\x0F", Bytes(400, '"') + " \x81\xA0", 2,
       "unmapped codes after them are counted and shown"},
      {Bytes(32766, '\x7F'), Bytes(65532, '"'), 0, "the longest field"},
  };
  for (const WholeCase& c : cases) {
    Reset();
    std::vector<char> src = Field(c.in);
    std::vector<char> dst(2 * c.in.size() + 1, 'x');
    int textLength = -1;
    EXPECT_EQ(ConvertMixedText(src.data(), static_cast<int>(c.in.size()), dst.data(), with_, &textLength),
              c.count)
        << c.why;
    EXPECT_EQ(HexOf(dst.data()), HexOf(c.out)) << c.why;
    EXPECT_EQ(textLength, static_cast<int>(c.out.size())) << c.why;
  }
}

TEST_F(DecoderTest, LengthsAreClamped) {
  std::vector<char> src(kMaxTextFieldLength + 100, '\xC1');
  src.push_back('\0');
  std::vector<char> dst(2 * kMaxTextFieldLength + 1 + 100, 'x');
  EXPECT_EQ(ConvertMixedText(src.data(), kMaxTextFieldLength + 100, dst.data(), with_), 0);
  EXPECT_EQ(strlen(dst.data()), static_cast<size_t>(kMaxTextFieldLength));
  EXPECT_EQ(ConvertMixedText(src.data(), -3, dst.data(), with_), 0);
  EXPECT_STREQ(dst.data(), "");

  std::vector<char> run(kMaxTextFieldLength + 100, '\x45');
  std::fill(dst.begin(), dst.end(), 'x');
  ConvertDoubleByteRun(run.data(), kMaxTextFieldLength + 1000, dst.data(), with_);
  EXPECT_EQ(dst[kMaxTextFieldLength], '\0');
  EXPECT_EQ(dst[kMaxTextFieldLength + 1], 'x');
  EXPECT_EQ(ConvertDoubleByteRun(run.data(), -1, dst.data(), with_), 0);
  EXPECT_EQ(dst[0], '\0');

  char out[300];
  std::vector<char> packed(200, '\x11');
  memset(out, 'x', sizeof out);
  EXPECT_EQ(ConvertPackedDecimal(packed.data(), 200, out), 0);
  EXPECT_EQ(strlen(out), 255u);
  EXPECT_EQ(out[256], 'x');
  EXPECT_EQ(ConvertPackedDecimal(packed.data(), -7, out), 0);
  EXPECT_STREQ(out, " ");
}

struct PackedCase {
  Bytes in;
  const char* out;
  int invalid;
  const char* why;
};

TEST_F(DecoderTest, PackedDecimal) {
  const PackedCase cases[] = {
      {"\x12\x3D", "-123", 0, "negative"},
      {Bytes("\x00\x5C", 2), "   5", 0, "leading zeros are blanks"},
      {Bytes("\x00\x0C", 2), "   0", 0, "zero shows its last digit"},
      {Bytes("\x00\x0D", 2), "  -0", 0, "negative zero"},
      {"\x5F", " 5", 0, "sign F"},
      {"\x12\x3B", "-123", 0, "B is minus, as D is (it was read as a digit, plus)"},
      {"\xA1\x2C", "  12", 1, "invalid nibble before the first digit is a blank"},
      {"\x1A", " 1:", 1, "invalid last nibble (A is no sign)"},
      {Bytes("\x00\x0E", 2), "   0>", 1, "E is no sign"},
      {"\xFF", " ?", 1, "invalid digit in the last byte is shown"},
      {"\x12\x34", " 1234", 0, "no sign nibble: digit"},
      {Bytes("\x00\x12\x3D", 3), "  -123", 0, "minus right before the first digit"},
      {"\x1B\x2C", " 1;2", 1, "invalid nibble after a digit"},
      {"", " ", 0, "length 0"},
  };
  for (const PackedCase& c : cases) {
    std::vector<char> src = Field(c.in);
    char dst[256];
    EXPECT_EQ(ConvertPackedDecimal(src.data(), static_cast<int>(c.in.size()), dst), c.invalid) << c.why;
    EXPECT_STREQ(dst, c.out) << c.why;
  }
}

// ---- Code error report ---------------------------------------------------------

class ReportTest : public DecoderTest {
 protected:
  void SetUp() override {
    rows_ = OpenStream((folder_.path() + "CodeErr.csv").c_str(), "w");
    ASSERT_NE(rows_, nullptr);
    report_.Start("CUSTOMER", rows_);
  }
  void TearDown() override {
    if (rows_) fclose(rows_);
  }
  // Closes the rows file and reads it back, line breaks as "\n".
  std::string Rows() {
    fclose(rows_);
    rows_ = nullptr;
    std::string text = folder_.Read("CodeErr.csv");
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  }

  TempFolder folder_;
  FILE* rows_ = nullptr;
};

TEST_F(ReportTest, RowFormats) {
  char dst[256];
  report_.SetRecordsWritten(11);
  ConvertDoubleByteRun("\x69\x41", 2, dst, with_);
  char mixed[] = "\x0E\x6A\xFE\x0F\x0A";
  report_.SetRecordsWritten(12);
  EXPECT_EQ(ConvertMixedText(mixed, 5, dst, with_), 2);
  EXPECT_EQ(Rows(), "CUSTOMER,12,0x6941\nCUSTOMER,13,0x6afe\nCUSTOMER,13,0x0a\n");
}

TEST_F(ReportTest, AtMostHundredRowsInInputOrder) {
  char dst[256];
  std::string expected;
  char row[64];
  // Record 1: 95 unmapped single-byte codes; record 2: 10 unconvertible
  // double-byte characters; record 3: 55 more single-byte codes.
  Bytes first, third;
  for (int k = 0; k < 95; ++k) first += static_cast<char>(0x10 + k % 0x30);
  for (int k = 0; k < 55; ++k) third += static_cast<char>(0x80 + k);
  Bytes second = "\x0E";
  for (int k = 0; k < 10; ++k) second += static_cast<char>(0x69), second += static_cast<char>(0x41 + k);
  second += "\x0F";
  for (unsigned char c : first) {
    snprintf(row, sizeof row, "CUSTOMER,1,0x%02x\n", c);
    expected += row;
  }
  for (int k = 0; k < 5; ++k) {
    snprintf(row, sizeof row, "CUSTOMER,2,0x%04x\n", 0x6941 + k);
    expected += row;
  }
  std::vector<char> src = Field(first);
  EXPECT_EQ(ConvertMixedText(src.data(), 95, dst, with_), 95);
  report_.SetRecordsWritten(1);
  src = Field(second);
  EXPECT_EQ(ConvertMixedText(src.data(), static_cast<int>(second.size()), dst, with_), 10);
  report_.SetRecordsWritten(2);
  src = Field(third);
  EXPECT_EQ(ConvertMixedText(src.data(), 55, dst, with_), 55);
  EXPECT_EQ(report_.singleByteErrors(), 150);
  EXPECT_EQ(report_.doubleByteErrors(), 10);
  const std::string rows = Rows();
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 100);
  EXPECT_EQ(rows, expected);
}

TEST_F(ReportTest, NoReportAndHugeCounters) {
  char dst[256];
  // Batch runs have no report: counting goes on, nothing is written.
  report_.Start("CUSTOMER", nullptr);
  char mixed[] = "\x01\x0E\x69\x41\x0F";
  EXPECT_EQ(ConvertMixedText(mixed, 5, dst, with_), 2);
  EXPECT_EQ(report_.singleByteErrors(), 1);
  EXPECT_EQ(report_.doubleByteErrors(), 1);
  // Counters stop at their maximum instead of wrapping back below the row
  // limit: a counter can only get there by counting, so count to it.
  report_.Start("CUSTOMER", rows_);
  for (int32_t k = 0; k < INT32_MAX - 1; ++k) report_.SingleByteError(0x01);
  char many[] = "\x01\x02\x03";
  EXPECT_EQ(ConvertMixedText(many, 3, dst, with_), 3);
  EXPECT_EQ(report_.singleByteErrors(), INT32_MAX);
  std::string expected;
  for (int k = 0; k < 100; ++k) expected += "CUSTOMER,1,0x01\n";
  EXPECT_EQ(Rows(), expected) << "the first 100 rows and none after";
}

}  // namespace
