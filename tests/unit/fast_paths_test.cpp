// The conversion's fast roads against plain ones: the direct-indexed
// double-byte lookup against a bisection of the built-in table, the mixed-text
// decoder against a code-by-code reference, and toCSV's rows against the plain
// road of tests/unit/support/plain_road.h. Each must give the same bytes,
// counts and report rows on realistic and on random input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert/code_tables.h"
#include "convert/decoders.h"
#include "convert/field_list.h"
#include "convert/to_csv.h"
#include "platform/stream.h"
#include "tests/unit/support/host_text.h"
#include "tests/unit/support/plain_road.h"
#include "tests/unit/support/test_support.h"

namespace {

// Fresh tables with the pair □: the built-in table alone, nothing mapped.
std::unique_ptr<CodeTables> NewTables() {
  auto tables = std::make_unique<CodeTables>();
  tables->substitution[0] = '\x81';
  tables->substitution[1] = '\xA0';
  return tables;
}

// The letters, digits, blank and quotation mark, half-width katakana 0x81,
// and the other codes left unmapped.
void LoadLetters(CodeTables* tables) {
  AddLetters(tables);
  tables->singleByte[0x81] = 0xB1;  // half-width katakana
}

void SetUserTable(CodeTables* tables, const std::vector<DoubleByteEntry>& entries) {
  std::memset(tables->user, 0, sizeof tables->user);
  for (size_t k = 0; k < entries.size(); ++k) tables->user[k] = entries[k];
  RebuildLookup(tables);
}

// The built-in table by bisection, as it is stored: the yardstick.
unsigned BisectBuiltIn(unsigned code) {
  const DoubleByteEntry* begin = BuiltInTable();
  const DoubleByteEntry* end = begin + BuiltInTableSize();
  const DoubleByteEntry* e = std::lower_bound(
      begin, end, code, [](const DoubleByteEntry& x, unsigned c) { return x.host < c; });
  return (e != end && e->host == code) ? e->sjis : 0;
}

unsigned ReferenceLookup(const CodeTables& tables, unsigned code) {
  for (int k = 0; k < kUserTableSlots - 1 && tables.user[k].sjis != 0; ++k) {
    if (tables.user[k].host == code) return tables.user[k].sjis;
  }
  return BisectBuiltIn(code);
}

TEST(DirectLookup, EveryCodeAsTheTablesSay) {
  const auto tables = NewTables();
  struct Case {
    std::vector<DoubleByteEntry> user;
    const char* why;
  };
  const Case cases[] = {
      {{}, "no user entries: the built-in table alone"},
      {{{0x6941, 0xF040}, {0x6942, 0xF041}}, "user-defined area, as examples/Quenvale.ini has it"},
      {{{0x4581, 0xF042}, {0x4582, 0xF043}, {0x4581, 0xF044}},
       "user entries over built-in codes: the user table wins, its first entry first"},
      {{{0x0000, 0xF045}, {0xFFFE, 0xF046}, {0x4040, 0x8140}}, "codes at both ends"},
      {[] {
         std::vector<DoubleByteEntry> full;
         for (unsigned k = 0; k < 99; ++k) {
           full.push_back({static_cast<uint16_t>((k * 2 + 7) << 8 | 0x41), static_cast<uint16_t>(0xF000 + k)});
         }
         return full;
       }(),
       "99 entries on 99 lead bytes: the most there can be"},
  };
  for (const Case& c : cases) {
    SetUserTable(tables.get(), c.user);
    for (unsigned code = 0; code < 0x10000; ++code) {
      ASSERT_EQ(LookupDoubleByte(*tables, code), ReferenceLookup(*tables, code)) << c.why << ", code " << code;
    }
  }
  // The table as it is now, not as it was at an earlier lookup.
  SetUserTable(tables.get(), {{0x4581, 0xF042}});
  EXPECT_EQ(LookupDoubleByte(*tables, 0x4581), 0xF042u);
  SetUserTable(tables.get(), {});
  EXPECT_EQ(LookupDoubleByte(*tables, 0x4581), BisectBuiltIn(0x4581));
  // Entries changed in place, and a table cut short, then the lookup made anew.
  SetUserTable(tables.get(), {{0x4581, 0xF042}, {0x6941, 0xF040}});
  EXPECT_EQ(LookupDoubleByte(*tables, 0x6941), 0xF040u);
  tables->user[1].sjis = 0xF050;
  RebuildLookup(tables.get());
  EXPECT_EQ(LookupDoubleByte(*tables, 0x6941), 0xF050u);
  tables->user[1].host = 0x6942;
  RebuildLookup(tables.get());
  EXPECT_EQ(LookupDoubleByte(*tables, 0x6941), BisectBuiltIn(0x6941));
  EXPECT_EQ(LookupDoubleByte(*tables, 0x6942), 0xF050u);
  tables->user[0] = DoubleByteEntry{0, 0};
  RebuildLookup(tables.get());
  EXPECT_EQ(LookupDoubleByte(*tables, 0x4581), BisectBuiltIn(0x4581));
  EXPECT_EQ(LookupDoubleByte(*tables, 0x6942), BisectBuiltIn(0x6942));
}

TEST(DirectLookup, DoubleByteRunsOverEveryCode) {
  const auto tables = NewTables();
  SetUserTable(tables.get(), {{0x6941, 0xF040}, {0x4581, 0xF042}});
  CodeErrorReport report;
  report.Start("T", nullptr);
  const DecodeContext with{tables.get(), &report};
  for (unsigned first = 0; first < 0x10000; first += 64) {
    char src[129];
    char dst[256];
    for (unsigned k = 0; k < 64; ++k) {
      src[2 * k] = static_cast<char>((first + k) >> 8);
      src[2 * k + 1] = static_cast<char>(first + k);
    }
    src[128] = '\0';
    int missing = 0;
    std::string expected;
    for (unsigned k = 0; k < 64; ++k) {
      const unsigned sjis = ReferenceLookup(*tables, first + k);
      if (sjis == 0) ++missing;
      expected += sjis ? static_cast<char>(sjis >> 8) : '\x81';
      expected += sjis ? static_cast<char>(sjis) : '\xA0';
    }
    ASSERT_EQ(ConvertDoubleByteRun(src, 128, dst, with), missing) << first;
    ASSERT_EQ(std::string(dst, 128), expected) << first;
  }
}

// ---- Mixed text ---------------------------------------------------------------

// Report rows as the decoders write them, kept in memory.
struct Reference {
  std::string text;
  int count = 0;
  int32_t singleErrors = 0;
  int32_t doubleErrors = 0;
  int32_t records = 0;  // written before the field's record
  std::string rows;

  void Row(const char* format, unsigned code) {
    if (static_cast<int64_t>(doubleErrors) + singleErrors > 100) return;
    char row[80];
    std::snprintf(row, sizeof row, format, "T", records + 1, code);
    rows += row;
  }
};

// Mixed text code by code: single-byte codes through the table, double-byte
// runs between shift-out and shift-in (an odd run loses its last byte and
// scanning resumes at the byte that ended it), quotes doubled, the text
// never cut but at a zero byte.
Reference ReferenceMixed(const CodeTables& tables, const unsigned char* s, int length, int32_t records) {
  Reference r;
  r.records = records;
  length = std::max(0, length);
  std::string text;
  int i = 0;
  while (i < length) {
    if (s[i] == 0x0E) {
      int j = i + 1;
      while (j < length && s[j] != 0x0F) ++j;
      int n = j - i - 1;
      const int next = (n & 1) ? j : i + n + 2;
      n &= ~1;
      for (int p = 0; p < n; p += 2) {
        const unsigned code = static_cast<unsigned>(s[i + 1 + p]) << 8 | s[i + 2 + p];
        const unsigned sjis = LookupDoubleByte(tables, code);
        if (sjis != 0) {
          text += static_cast<char>(sjis >> 8);
          text += static_cast<char>(sjis);
        } else {
          text += static_cast<char>(tables.substitution[0]);
          text += static_cast<char>(tables.substitution[1]);
          ++r.count;
          ++r.doubleErrors;
          r.Row("%s,%d,0x%04x\n", code);
        }
      }
      i = next;
      continue;
    }
    unsigned char v = tables.singleByte[s[i]];
    if (v == 0) {
      v = ' ';
      ++r.count;
      ++r.singleErrors;
      r.Row("%s,%d,0x%02x\n", s[i]);
    }
    text += static_cast<char>(v);
    if (v == '"') text += '"';
    ++i;
  }
  r.text = text.substr(0, text.find('\0'));
  return r;
}

// Random fields: mostly the shapes of real data (letters, Kanji runs, blanks),
// and every code that takes a slow road (quotes, unmapped codes, lone shifts,
// odd runs, long quoted texts that grow past their field).
std::vector<unsigned char> RandomField(std::mt19937& rng, int length) {
  static const unsigned char kPick[] = {0xC1, 0xC5, 0xD9, 0xE9, 0xF0, 0xF7, 0x40, 0x81};
  std::vector<unsigned char> f;
  const int flavour = static_cast<int>(rng() % 4);
  while (static_cast<int>(f.size()) < length) {
    const unsigned r = rng() % 100;
    if (r < 60 || flavour == 0) {
      f.push_back(kPick[rng() % sizeof kPick]);
    } else if (r < 70) {
      f.push_back(0x0E);
      const int n = static_cast<int>(rng() % 20);
      for (int k = 0; k < n; ++k) {
        const unsigned pick = rng() % 10;
        f.push_back(pick == 0 ? 0x69 : static_cast<unsigned char>(0x45 + rng() % 16));
        f.push_back(static_cast<unsigned char>(pick == 1 ? 0x20 : 0x41 + rng() % 190));
      }
      if (rng() % 4) f.push_back(0x0F);
    } else if (r < 80 || flavour == 1) {
      f.push_back(0x7F);  // a quotation mark
    } else if (r < 88) {
      f.push_back(0x0F);
    } else {
      f.push_back(static_cast<unsigned char>(rng()));  // anything, unmapped codes too
    }
  }
  f.resize(static_cast<size_t>(length));
  return f;
}

TEST(MixedText, SameAsCodeByCode) {
  TempFolder tmp;
  struct Pair {
    unsigned char lead, trail;
    const char* why;
  };
  const Pair pairs[] = {{0x81, 0xA0, "a substitution pair"},
                        {0, 0, "a zero pair ends the text"},
                        {0x81, 0, "a pair with a zero trail byte"}};
  std::mt19937 rng(930);
  for (const Pair& pair : pairs) {
    const auto tables = NewTables();
    LoadLetters(tables.get());
    SetUserTable(tables.get(), {{0x6941, 0xF040}, {0x4581, 0xF042}});
    tables->substitution[0] = pair.lead;
    tables->substitution[1] = pair.trail;
    const std::string rowsPath = tmp.path() + "CodeErr.csv";
    FILE* rows = OpenStream(rowsPath.c_str(), "wb");
    ASSERT_NE(rows, nullptr);
    CodeErrorReport report;
    const DecodeContext with{tables.get(), &report};
    std::string expectedRows;
    for (int n = 0; n < 6000; ++n) {
      std::vector<unsigned char> field;
      int length;
      if (n < 2000) {
        // Doubled quotes push the text past the field's length: q quotes, k
        // Kanji, then letters; all of it must come out.
        const int q = n / 12, k = n % 12;
        field.assign(static_cast<size_t>(q), 0x7F);
        if (k > 0) {
          field.push_back(0x0E);
          for (int c = 0; c < k; ++c) {
            field.push_back(0x45);
            field.push_back(static_cast<unsigned char>(0x41 + c));
          }
          field.push_back(0x0F);
        }
        while (field.size() < 255) field.push_back(0xC1);
        field.resize(255);
        length = 255;
      } else {
        length = n < 2300 ? n - 2000 : static_cast<int>(rng() % 700);
        field = RandomField(rng, length);
      }
      field.push_back(0);
      const Reference expected = ReferenceMixed(*tables, field.data(), length, n);
      expectedRows += expected.rows;
      // Each field counted from zero, its rows naming record n + 1.
      report.Start("T", rows);
      report.SetRecordsWritten(n);
      // Exactly the room the decoder asks for: an overrun is the sanitizer's.
      std::vector<char> dst(2 * static_cast<size_t>(length) + 1, 'x');
      int textLength = -1;
      const int count =
          ConvertMixedText(reinterpret_cast<char*>(field.data()), length, dst.data(), with, &textLength);
      ASSERT_EQ(std::string(dst.data()), expected.text) << pair.why << ", field " << n;
      ASSERT_EQ(textLength, static_cast<int>(expected.text.size())) << pair.why << ", field " << n;
      ASSERT_EQ(count, expected.count) << pair.why << ", field " << n;
      ASSERT_EQ(report.singleByteErrors(), expected.singleErrors) << pair.why << ", field " << n;
      ASSERT_EQ(report.doubleByteErrors(), expected.doubleErrors) << pair.why << ", field " << n;
    }
    std::fclose(rows);
    std::string written;
    ASSERT_TRUE(ReadFileBytes(rowsPath, &written));
    EXPECT_EQ(written, expectedRows) << pair.why;
  }
}

// ---- Rows --------------------------------------------------------------------

std::string PackedField(std::mt19937& rng, int bytes) {
  std::string f;
  const unsigned shape = rng() % 10;
  for (int k = 0; k < bytes; ++k) {
    unsigned hi = rng() % 10;
    unsigned lo = rng() % 10;
    if (shape == 0) {
      hi = rng() % 16;  // any nibble: invalid digits and signs
      lo = rng() % 16;
    } else if (shape == 1) {
      hi = lo = 0;  // zero
    } else if (shape == 2 && k < bytes - 2) {
      hi = lo = 9;  // all nines: the widest values
    } else if ((shape == 4 && k < bytes / 2) || (shape == 5 && k < bytes - 2)) {
      hi = lo = 0;  // leading zeros: values of few digits (dates of no year)
    }
    if (k == bytes - 1 && shape != 0) {
      static const unsigned kSigns[] = {0xC, 0xD, 0xF, 0xC, 0xD, 0xA, 0xB, 0xE, 0x3};
      lo = kSigns[rng() % (shape == 3 ? 9 : 3)];
    }
    f += static_cast<char>(hi << 4 | lo);
  }
  return f;
}

struct FieldShape {
  const char* line;
  char kind;  // 'p' packed, 't' text, 'w' double-byte
  int bytes;
};

// Every type and the edges of the fast packed road: 16 bytes and more,
// texts of 18 and 20 characters, decimals beyond the digits, length 0.
const FieldShape kShapes[] = {
    {"PCFL NO 2 11", 'p', 5},      {"PCFL AMT 2 15/2", 'p', 7},  {"PCFL DT d 10", 'p', 5},
    {"PCFL PR y 13", 'p', 6},      {"PCFL TX A 40", 't', 40},    {"PCFL CD I 6", 't', 6},
    {"PCFL YN Y 8", 't', 8},       {"PCFL SD D 8", 't', 8},      {"PCFL SD2 D 3", 't', 3},
    {"PCFL NM W 20", 'w', 20},     {"PCFL N1 1 20", 'w', 20},    {"PCFL N2 1 7", 't', 7},
    {"PCFL RT 2 7/3", 'p', 3},     {"PCFL XX X 5", 'p', 5},      {"PCFL BIG 2 40", 'p', 20},
    {"PCFL BIG2 2 33", 'p', 16},   {"PCFL BIG3 2 35", 'p', 17},  {"PCFL LD d 20", 'p', 10},
    {"PCFL LD2 d 19", 'p', 9},     {"PCFL E18 2 19", 'p', 9},    {"PCFL E20 2 21", 'p', 10},
    {"PCFL E20y y 21", 'p', 10},   {"PCFL Z 2 1/0", 'p', 0},     {"PCFL DEC 2 5/9", 'p', 2},
    {"PCFL W3 W 3", 'w', 3},       {"PCFL T0 A 0", 't', 0},      {"PCFL Q A 255", 't', 255},
};

std::string RandomRecord(std::mt19937& rng) {
  std::string r;
  for (const FieldShape& s : kShapes) {
    if (s.kind == 'p') {
      r += PackedField(rng, s.bytes);
    } else if (s.kind == 'w' && rng() % 3 != 0) {
      for (int k = 0; k + 1 < s.bytes; k += 2) {
        const unsigned pick = rng() % 8;
        if (pick == 0) {
          r += "\x40\x40";  // ideographic blank
        } else if (pick == 1) {
          r += "\x69\x41";  // a user code
        } else if (pick == 2) {
          r += "\x71\x41";  // a user code with a lead byte of single-byte text
        } else {
          r += static_cast<char>(0x45 + rng() % 16);
          r += static_cast<char>(0x41 + rng() % 190);
        }
      }
      if (s.bytes & 1) r += '\x40';
    } else {
      std::vector<unsigned char> f = RandomField(rng, s.bytes);
      r.append(f.begin(), f.end());
    }
    // Padding, as host fields have it: blanks, which are full-width blanks
    // in double-byte text.
    if (s.kind != 'p' && s.bytes > 0 && rng() % 2) {
      const size_t pad = rng() % (s.bytes + 1);
      for (size_t k = r.size() - pad; k < r.size(); ++k) r[k] = '\x40';
    }
  }
  return r;
}

struct Outcome {
  int result = 0;
  std::string csv;
  std::string rows;  // the CodeErr rows
  std::vector<std::string> statuses;
  std::string errorText;
};

// The product's conversion of T: toCSV in single-file form, its CodeErr rows
// into a file of their own.
Outcome ConvertWithToCsv(const TempFolder& tmp, const CodeTables& tables) {
  TestRun run(tmp.path());
  RecordedProgress progress;
  const std::string rowsPath = tmp.path() + "CodeErr.csv";
  FILE* rows = OpenStream(rowsPath.c_str(), "w");
  EXPECT_NE(rows, nullptr);
  const Conversion with{run.job(), &tables, &progress, rows};
  ConversionCounts counts{};
  Outcome o;
  o.result = toCSV(with, "", "T", &counts);
  if (rows != nullptr) std::fclose(rows);
  o.csv = tmp.Read("T.csv");
  ReadFileBytes(rowsPath, &o.rows);
  for (const RecordedProgress::Shown& s : progress.updates) o.statuses.push_back(s.text);
  o.errorText = run.errors.text();
  return o;
}

// The same conversion done here: the field list read from the same
// description, every record's row by the plain road, its rows through a
// report of its own, the status texts and error line toCSV is to give.
Outcome ConvertPlainly(const TempFolder& tmp, const CodeTables& tables, const std::string& fdf,
                       const std::string& image) {
  FieldList list;
  EXPECT_TRUE(ParseFieldList(fdf.data(), fdf.size(), &list));
  const std::string rowsPath = tmp.path() + "PlainErr.csv";
  FILE* rows = OpenStream(rowsPath.c_str(), "w");
  EXPECT_NE(rows, nullptr);
  CodeErrorReport report;
  report.Start("T", rows);
  const PlainConversion plain = ConvertPlain(list, image, DecodeContext{&tables, &report});
  if (rows != nullptr) std::fclose(rows);
  Outcome o;
  o.result = plain.errorTotal;
  o.csv = Nl(plain.csv);
  ReadFileBytes(rowsPath, &o.rows);
  const auto status = [](int64_t records, int32_t total) {
    std::string s = "T：レコード数 " + std::to_string(records);
    if (total != 0) s += " (Shift-JIS 変換ｴﾗｰ " + std::to_string(total) + ")";
    return s;
  };
  for (size_t k = 0; k < plain.totalsEveryHundred.size(); ++k) {
    o.statuses.push_back(status(static_cast<int64_t>(k + 1) * 100, plain.totalsEveryHundred[k]));
  }
  o.statuses.push_back(status(plain.records, plain.errorTotal));
  if (plain.partialRecord) o.errorText = "  Tのﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n";
  return o;
}

TEST(Rows, SameAsThePlainRoad) {
  TempFolder tmp;
  std::string fdf = "PCFO T\n";
  for (const FieldShape& s : kShapes) fdf += std::string(s.line) + "\n";
  tmp.Write("T.fdf", fdf);

  struct Case {
    unsigned char lead, trail;
    int records;
    size_t extraBytes;  // a record cut short at the end
    const char* why;
  };
  FieldList list;
  ASSERT_TRUE(ParseFieldList(fdf.data(), fdf.size(), &list));
  const int job = RecordsPerJob(list, false);
  const Case cases[] = {
      {0x81, 0xA0, 1234, 0, "row numbers across 9, 99 and 999; a substitution pair"},
      {0, 0, 300, 0, "a zero substitution pair"},
      {0x81, 0, 300, 17, "a pair with a zero trail byte; a record cut short"},
      {0x81, 0xA0, 1, 0, "one record"},
      {0x81, 0xA0, job + 1, 0, "one record more than a job"},
  };
  std::mt19937 rng(943);
  for (const Case& c : cases) {
    const auto tables = NewTables();
    LoadLetters(tables.get());
    SetUserTable(tables.get(), {{0x6941, 0xF040}, {0x7141, 0xF041}});
    tables->substitution[0] = c.lead;
    tables->substitution[1] = c.trail;
    std::string image;
    for (int k = 0; k < c.records; ++k) image += RandomRecord(rng);
    image += RandomRecord(rng).substr(0, c.extraBytes);
    tmp.Write("T.db2", image);
    const Outcome plain = ConvertPlainly(tmp, *tables, fdf, image);
    // The same file whatever the number of workers.
    for (const char* workers : {"1", "2", "3", "64"}) {
      SCOPED_TRACE(std::string(c.why) + ", workers " + workers);
      tmp.Write("Quenvale.ini", std::string("[Quenvale]\r\nWorkers=") + workers + "\r\n");
      const Outcome fast = ConvertWithToCsv(tmp, *tables);
      EXPECT_EQ(fast.result, plain.result);
      EXPECT_EQ(fast.errorText, plain.errorText);
      EXPECT_EQ(fast.statuses, plain.statuses);
      EXPECT_EQ(fast.rows, plain.rows);
      if (c.records >= 300) {
        EXPECT_FALSE(fast.rows.empty());
      }
      ASSERT_EQ(fast.csv.size(), plain.csv.size());
      EXPECT_TRUE(fast.csv == plain.csv);
      EXPECT_GT(fast.csv.size(), static_cast<size_t>(c.records) * 100);
    }
  }
}

}  // namespace
