#include "convert/to_csv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <iconv.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "base/path.h"
#include "app/settings_file.h"
#include "convert/code_tables.h"
#include "convert/csv_encoding.h"
#include "convert/field_decode.h"
#include "convert/field_list.h"
#include "convert/field_types.h"
#include "convert/list_check.h"
#include "convert/unicode_text.h"
#include "convert/value_format.h"
#include "platform/stream.h"
#include "tests/unit/support/host_text.h"
#include "tests/unit/support/test_support.h"

namespace {

namespace fs = std::filesystem;

// ---- Helpers ---------------------------------------------------------------

// Letters, digits and a few marks of host code page 930, and the pair □.
void LoadTestTables(CodeTables* tables) {
  AddLetters(tables);
  tables->singleByte[0x60] = '-';
  tables->singleByte[0x7C] = '@';
  tables->singleByte[0x6B] = ',';
  tables->singleByte[0x25] = '\n';  // no settings line can map it; the formatter must cope
  tables->substitution[0] = '\x81';  // □
  tables->substitution[1] = '\xA0';
}

// EBCDIC bytes of an ASCII text of capitals, digits and blanks.
std::string Ebcdic(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ' ') {
      out += '\x40';
    } else if (c >= '0' && c <= '9') {
      out += static_cast<char>(0xF0 + (c - '0'));
    } else {
      out += static_cast<char>(kHostCapitals[c - 'A']);
    }
  }
  return out;
}

// Packed decimal of value in bytes bytes, sign C or D.
std::string Packed(long long value, int bytes) {
  std::string nibbles(static_cast<size_t>(bytes * 2 - 1), '0');
  unsigned long long u = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
  for (size_t i = nibbles.size(); i-- > 0 && u != 0; u /= 10) nibbles[i] = static_cast<char>('0' + u % 10);
  nibbles += value < 0 ? 'D' : 'C';
  return Hex(nibbles.c_str());
}

const char kCaption[] = "ＣＳＶ変換中...";

class ToCsv : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadTestTables(tables.get());
    fs::create_directory(fs::path(tmp.path() + "DB2"));
  }
  void TearDown() override {
    if (rows != nullptr) std::fclose(rows);
  }

  static std::string InDb2(const std::string& file) { return std::string("DB2") + kPathSep + file; }
  void Workers(const std::string& value) { tmp.Write("Quenvale.ini", "[Quenvale]\r\nWorkers=" + value + "\r\n"); }

  int Convert(const char* subFolder, const char* name) {
    const Conversion with{run.job(), tables.get(), &progress, rows};
    return toCSV(with, subFolder, name, &counts);
  }
  // A batch-run conversion of T: T.fdf in the program folder, the image in DB2.
  int Batch(const std::string& fdf, const std::string& image, const char* name = "T") {
    tmp.Write(std::string(name) + ".fdf", fdf);
    tmp.Write(InDb2(std::string(name) + ".db2"), image);
    return Convert("DB2", name);
  }
  // A single-file conversion: everything in the program folder.
  int Single(const std::string& fdf, const std::string& image, const char* name = "T") {
    tmp.Write(std::string(name) + ".fdf", fdf);
    tmp.Write(std::string(name) + ".db2", image);
    return Convert("", name);
  }
  std::string Csv(const char* name = "T") const { return tmp.Read(InDb2(std::string(name) + ".csv")); }
  bool CsvExists(const char* name = "T") const { return tmp.Exists(InDb2(std::string(name) + ".csv")); }
  const char* Errors() const { return run.errors.text(); }
  // Temporary files left in a folder of the test ("" the program folder).
  int TempFiles(const std::string& folder) const {
    int n = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(tmp.path() + folder))) {
      n += IsTempFileName(e.path().filename().string().c_str()) ? 1 : 0;
    }
    return n;
  }

  // The code error rows go to a file of the test's own, opened as
  // single-file mode opens CodeErr.csv; Rows() closes it and reads it back.
  void OpenRows() {
    rows = OpenStream((tmp.path() + "rows.csv").c_str(), "w");
    ASSERT_NE(rows, nullptr);
  }
  std::string Rows() {
    std::fclose(rows);
    rows = nullptr;
    return tmp.Read("rows.csv");
  }

  TempFolder tmp;
  TestRun run{tmp.path()};
  std::unique_ptr<CodeTables> tables = std::make_unique<CodeTables>();
  RecordedProgress progress;
  FILE* rows = nullptr;
  ConversionCounts counts{};
};

// ---- The worked example and the output forms -------------------------------

TEST_F(ToCsv, WorkedExample) {
  const std::string fdf = "PCFO\nPCFL CUSTNO 2 11\nPCFL AMOUNT 2 11/2\nPCFL CNAME 1 20\n";
  const std::string record = Packed(1234, 5) + Packed(-500, 5) + Ebcdic("ABC") + std::string(17, '\x40');
  EXPECT_EQ(Batch(fdf, record), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"CUSTNO\",\"AMOUNT\",\"CNAME\"\n1,1234,-5.00,\"ABC\"\n"));
  EXPECT_STREQ(Errors(), "");
  EXPECT_FALSE(tmp.Exists("CodeErr.csv"));  // batch runs write no code error report
}

struct ValueCase {
  const char* fieldLine;  // after "PCFL F "
  const char* bytes;      // field bytes in hex
  const char* value;      // what stands after "1,"
  int errors;             // the conversion's error total
};

const ValueCase kValueCases[] = {
    // Text forms: trimmed, quoted for 1, A and W.
    {"A 6", "C1C2C3404040", "\"ABC\"", 0},
    {"A 4", "4040C140", "\"A\"", 0},                     // leading blanks trimmed too
    {"A 4", "40404040", "", 0},                          // blanks only: nothing, no quotes
    {"A 6", "0E40400F4040", "", 0},                      // a full-width blank only: nothing
    {"A 3", "C17FC2", "\"A\"\"B\"", 0},                  // a quote arrives doubled
    {"A 3", "C141C2", "\"A B\"", 1},                     // unmapped code: a blank and one error
    // Regression: ＝ (0x81 0x81) then '@' ends in the bytes 0x81 0x40, which
    // the trim once took for a full-width blank, leaving half a character.
    {"A 8", "0E427E0F7C404040", "\"＝@\"", 0},
    {"A 9", "0E427E0F7C0E40400F", "\"＝@\"", 0},
    {"I 4", "C1C24040", "AB", 0},                        // no quotes
    // Unquoted kinds are quoted when a comma, a quote or a line end would
    // otherwise shift every later column (regression).
    {"I 3", "C17FC2", "\"A\"\"B\"", 0},
    {"I 5", "F16BF0F0F0", "\"1,000\"", 0},
    {"I 3", "C125C2", "\"A\nB\"", 0},
    {"Y 5", "F16BF0F0F0", "\"\\1,000\"", 0},
    {"D 9", "F1F9F9F96BF0F7F3F1", "\"1999,/07/31\"", 0},
    {"D 3", "F16BF1", "\"1,1\"", 0},
    {"A 3", "C16BC2", "\"A,B\"", 0},                     // quoted anyway
    {"Y 4", "F1F5F0F0", "\\1500", 0},                    // backslash before the text
    {"Y 2", "4040", "", 0},                              // no backslash for an empty text
    {"D 8", "F1F9F9F9F0F7F3F1", "1999/07/31", 0},
    {"D 8", "40F9F9F0F7F3F140", "99/07/31", 0},          // six characters after trimming
    {"D 4", "F0F7F3F1", "/07/31", 0},
    {"D 3", "F7F3F1", "731", 0},                         // too short for a date: as it stands
    {"D 4", "4040F1F2", "12", 0},
    {"W 4", "45414040", "\"一\"", 0},                     // full-width blank trimmed
    {"W 2", "6941", "\"□\"", 1},                          // user area, no user entry: substitution
    {"1 4", "40404040", "", 0},                          // double-byte blanks
    {"1 2", "4541", "\"一\"", 0},                         // even positions below 0x70: double-byte
    {"1 3", "C1C2C3", "\"ABC\"", 0},                     // odd length: mixed
    {"1 4", "0E45410F", "\"一\"", 0},                     // shift-out: mixed
    {"1 2", "C1C2", "\"AB\"", 0},                        // 0xC1 at an even position: mixed
    {"XA 2", "C1C2", "\"AB\"", 0},                       // two-character type token: type 1
    // Packed, no decimals.
    {"2 6", "01234C", "1234", 0},
    {"2 6", "00000C", "0", 0},
    {"2 6", "00007D", "-7", 0},
    {"P 3", "01234C", "1234", 0},                        // any other code is packed
    {"X2 6", "00000001234C", "1234", 0},                 // two-character token ending in 2, not halved
    {"y 6", "01500C", "\\1500", 0},
    {"y 6", "00000C", "\\0", 0},
    {"y 6", "00007D", "\\-7", 0},
    {"d 10", "019990731C", "1999/07/31", 0},
    {"d 10", "000000000C", "", 0},                       // zero date: nothing
    {"2 18", "12345678901234567D", "-12345678901234567", 0},  // 9 bytes: in full
    // More than 18 characters: the exact value (a 64-bit integer cannot hold every one).
    {"2 20", "1234567890123456789C", "1234567890123456789", 0},
    {"2 20", "9999999999999999999D", "-9999999999999999999", 0},
    {"2 20", "0000000000000000042D", "-42", 0},
    {"2 20", "0000000000000000000D", "0", 0},
    {"y 20", "1234567890123456789C", "\\1234567890123456789", 0},
    {"d 20", "0000000000019990731C", "", 0},             // type d keeps writing nothing
    // Packed with decimals.
    {"2 6/2", "00000C", "0.", 0},
    {"2 6/5", "00000D", "0.", 0},
    {"2 6/2", "12345D", "-123.45", 0},
    {"2 6/2", "00005C", "0.05", 0},
    {"2 6/3", "00005C", "0.005", 0},
    {"2 6/6", "12345C", "0.012345", 0},
    {"y 6/2", "01500C", "15.00", 0},                     // no backslash with decimals
    {"d 6/2", "01500C", "15.00", 0},
    {"2 20/2", "1234567890123456789D", "-12345678901234567.89", 0},
    {"2 18/4", "98765432109876543C", "9876543210987.6543", 0},
    // Invalid nibbles: counted; the value is read up to the first non-digit.
    {"2 4", "1A2C", "1", 1},                             // " 1:2"
    {"2 4/1", "1A2C", "0.1", 1},
    {"2 4", "A12C", "12", 1},                            // before the first digit: a blank
    {"2 4", "123E", "123", 1},                           // E is no sign: " 123>"
    {"2 4", "123B", "-123", 0},                          // B is minus, as D is
    {"2 4/1", "123B", "-12.3", 0},
    {"2 40", "000000000000000000000000000000000000123B", "-123", 0},  // past the fast road
    {"2 20", "1234567890123A56789C", "1234567890123", 1},
    {"2 20/2", "1234567890123A56789C", "12345678901.23", 1},
    // Zoned decimal: a digit in each byte's low half, the sign in the last
    // byte's high half (B, D negative; A, C, E, F positive); written as the
    // packed field of the same digits would be.
    {"S 4", "F1F2F3F4", "1234", 0},
    {"S 4", "F1F2F3D4", "-1234", 0},
    {"S 4", "F1F2F3B4", "-1234", 0},
    {"S 3/1", "F1F2B3", "-12.3", 0},
    {"S 4", "F1F2F3C4", "1234", 0},
    {"S 4", "F1F2F3A4", "1234", 0},
    {"S 4", "F1F2F3E4", "1234", 0},
    {"S 4", "F1F2F374", "1234", 1},                      // zone 7 is no sign: positive, counted
    {"S 4", "40404040", "0", 1},                         // blanks: zero digits, no sign
    {"S 4", "F0F0F0D0", "0", 0},                         // -0
    {"S 1", "D9", "-9", 0},
    {"S 4/2", "F1F2F3D4", "-12.34", 0},
    {"S 4/2", "F0F0F0F5", "0.05", 0},
    {"S 4/2", "F0F0F0F0", "0.", 0},
    {"S 4", "F1FAF3F4", "1", 1},                         // a digit above 9 ends the number, as in packed
    {"S 63", "F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9D9", "-999999999999999999999999999999999999999999999999999999999999999", 0},
    {"11 5", "F0F1F2F3D4", "\"0123M\"", 0},            // a two-character token stays text
    // Binary: big-endian two's complement of 2, 4 or 8 bytes.
    {"B 2", "0000", "0", 0},
    {"B 2", "7FFF", "32767", 0},
    {"B 2", "8000", "-32768", 0},
    {"B 2", "FFFF", "-1", 0},
    {"B 4", "7FFFFFFF", "2147483647", 0},
    {"B 4", "80000000", "-2147483648", 0},
    {"B 8", "7FFFFFFFFFFFFFFF", "9223372036854775807", 0},
    {"B 8", "8000000000000000", "-9223372036854775808", 0},
    {"B 4/2", "FFFFFFFB", "-0.05", 0},
    {"B 4/2", "00003039", "123.45", 0},
    {"B 2/1", "0000", "0.", 0},
    {"B 8/4", "8000000000000000", "-922337203685477.5808", 0},
    // Floating point, big-endian IEEE 754: the shortest text that reads back.
    {"F 4", "00000000", "0", 0},
    {"F 4", "80000000", "-0", 0},
    {"F 4", "3DCCCCCD", "0.1", 0},
    {"F 4", "7F7FFFFF", "3.4028235e+38", 0},
    {"F 4", "00000001", "1e-45", 0},
    {"F 4", "7FC00000", "", 1},                          // NaN: nothing, counted
    {"F 4", "FF800000", "", 1},                          // -infinity
    {"F 8", "3FF8000000000000", "1.5", 0},
    {"F 8", "3FB999999999999A", "0.1", 0},
    {"F 8", "419D6F3454000000", "123456789", 0},
    {"F 8", "7FEFFFFFFFFFFFFF", "1.7976931348623157e+308", 0},
    {"F 8", "0000000000000001", "5e-324", 0},
    {"F 8", "7FF0000000000000", "", 1},
    {"F 8", "7FF8000000000001", "", 1},
    // Bytes as hex.
    {"H 3", "00FFA5", "00FFA5", 0},
    // Varying text: a big-endian length L, then the field's n bytes.
    {"V 6", "0003C1C2C3404040", "\"ABC\"", 0},
    {"V 6", "0000C1C2C3C4C5C6", "", 0},                  // L = 0
    {"V 6", "0006C1C2C3C4C5C6", "\"ABCDEF\"", 0},       // L = n
    {"V 6", "0007C1C2C3C4C5C6", "\"ABCDEF\"", 1},       // L > n: the n bytes, counted
    {"V 6", "FFFFC1C2C3C4C5C6", "\"ABCDEF\"", 1},
    {"V 6", "00040E45410F4040", "\"一\"", 0},          // mixed text
    {"V 4", "0003C17FC240", "\"A\"\"B\"", 0},
    // UTF-16 text: trailing U+0020, U+3000 (and zero padding) trimmed; each
    // character as iconv's CP932 maps it, or the substitution pair, counted.
    {"U 8", "0041004200203000", "\"AB\"", 0},
    {"U 4", "00200041", "\" A\"", 0},                   // a leading blank stays
    {"U 4", "30000000", "", 0},
    {"U 6", "004100000042", "\"A B\"", 0},              // U+0000 inside: a blank
    {"U 2", "0022", "\"\"\"\"", 0},
    {"U 8", "9AD94E00301CFF61", "\"髙一〜｡\"", 0},
    {"U 4", "D842DFB7", "\"□\"", 1},                    // a pair beyond the BMP: no Shift-JIS
    {"U 4", "D8000041", "\"□A\"", 1},                   // an unpaired surrogate
    {"U 2", "DC00", "\"□\"", 1},
    {"U 2", "00E9", "\"□\"", 1},                        // é: not in code page 932
    // Varying UTF-16: a length in units, then n bytes.
    {"N 8", "00000041004200430044", "", 0},
    {"N 8", "00020041004200430044", "\"AB\"", 0},
    {"N 8", "00040041004200430044", "\"ABCD\"", 0},
    {"N 8", "00050041004200430044", "\"ABCD\"", 1},      // L > n / 2: n / 2 units, counted
};

TEST_F(ToCsv, ValueForms) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(std::string(c.fieldLine) + " " + c.bytes);
    run.errors.Clear();
    const int result = Batch(std::string("PCFO\nPCFL F ") + c.fieldLine + "\n", Hex(c.bytes));
    EXPECT_EQ(Csv(), Nl(std::string("\"ID\",\"F\"\n1,") + c.value + "\n"));
    EXPECT_EQ(result, c.errors);
    EXPECT_STREQ(Errors(), "");
  }
}

// The type table is the one list of codes: every code in it has its rows
// in the value table above, so a new type cannot land without them.
TEST(FieldTypeTable, EveryCodeHasValueRows) {
  for (int i = 0; i < FieldTypeCount(); ++i) {
    const FieldType& row = FieldTypes()[i];
    if (row.code == '\0') continue;  // every unlisted code: packed, rows with "P"
    EXPECT_EQ(&FieldTypeOf(row.code), &row) << row.code;
    bool covered = false;
    for (const ValueCase& c : kValueCases) {
      covered = covered || (c.fieldLine[0] == row.code && c.fieldLine[1] == ' ');
    }
    EXPECT_TRUE(covered) << "no value row for type " << row.code << " (" << row.host << ")";
    // Marks are written by the first types' road only: a row of another put
    // function would carry them in vain.
    if (row.marks != 0) {
      EXPECT_TRUE(row.put == PutClassic || row.put == PutZoned || row.put == PutVaryingText) << row.code;
    }
  }
  EXPECT_EQ(FieldTypeOf('P').code, '\0');
}

TEST_F(ToCsv, TypeOneTakesUserCodesAsDoubleByte) {
  // 0xC1C2 would be mixed text, but the user table names it.
  tables->user[0] = {0xC1C2, 0x82A0};  // あ
  tables->user[1] = {0, 0};
  RebuildLookup(tables.get());
  EXPECT_EQ(Batch("PCFO\nPCFL F 1 2\n", Hex("C1C2")), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"F\"\n1,\"あ\"\n"));
}

TEST_F(ToCsv, RowsNumberFromOneAndFieldsFollowEachOther) {
  const std::string fdf = "PCFO\nPCFL N 2 4\nPCFL S A 2\nPCFL E A 1\n";
  std::string image;
  for (int i = 1; i <= 3; ++i) image += Packed(i * 10, 2) + Ebcdic("AB") + "\x40";
  EXPECT_EQ(Batch(fdf, image), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"N\",\"S\",\"E\"\n1,10,\"AB\",\n2,20,\"AB\",\n3,30,\"AB\",\n"));
}

// ---- The description file --------------------------------------------------

struct LengthCase {
  const char* fieldLines;  // after the PCFO line
  int recordLength;
};

const LengthCase kLengthCases[] = {
    {"PCFL F 2 11\n", 5},
    {"PCFL F 2 11/2\n", 5},
    {"PCFL F A 11/2\n", 5},       // "/" halves for every type code
    {"PCFL F y 8\n", 4},
    {"PCFL F d 8\n", 4},
    {"PCFL F 1 8\n", 8},
    {"PCFL F P 8\n", 8},
    {"PCFL F 12 6\n", 6},         // two-character tokens never halve
    {"PCFL F 11 6\n", 6},
    {"PCFL F 2 +9\n", 4},
    {"PCFL F 2 7 anything after the length\n", 3},
    {"PCFL F A 0\n", 0},
    {"PCFL F 2 511\n", 255},
    // Later codes: n is what the host's field description says, no halving.
    {"PCFL F S 7\n", 7},
    {"PCFL F S 7/2\n", 7},
    {"PCFL F B 8/2\n", 8},
    {"PCFL F F 4\n", 4},
    {"PCFL F H 5\n", 5},
    {"PCFL F V 10\n", 12},        // the length before the data
    {"PCFL F U 10\n", 10},
    {"PCFL F N 10\n", 12},
    {"PCFL CUSTNO 2 11\nPCFL AMOUNT 2 11/2\nPCFL CNAME 1 20\nPCFL KNAME 11 20\nPCFL RATE 12 6\n"
     "PCFL BIRTH d 8\n",
     60},
};

TEST_F(ToCsv, LengthTokens) {
  for (const LengthCase& c : kLengthCases) {
    SCOPED_TRACE(c.fieldLines);
    counts.recordLength = -1;
    Single(std::string("PCFO\n") + c.fieldLines, "");
    EXPECT_EQ(counts.recordLength, c.recordLength);
  }
}

struct FormatCase {
  std::string fdf;
  // The CSV's header row; nullptr: accepted, header not checked; "": refused.
  const char* header;
  const char* why;
};

std::string Fields(int count, const char* line) {
  std::string out;
  for (int i = 0; i < count; ++i) out += line;
  return out;
}

const FormatCase kFormatCases[] = {
    {"PCFO\nPCFL A A 1\n", "\"ID\",\"A\"", "plain"},
    {"junk\nPCFL B A 9\npcfo rest\nPCFL A A 1\n", "\"ID\",\"A\"", "lines before PCFO ignored, lower-case PCFO"},
    {"PCFOX\nPCFL A A 1", "\"ID\",\"A\"", "first four characters; no final line feed"},
    {"PCFO\nPCFL A A 0\n", "\"ID\",\"A\"", "record length 0"},
    {"PCFO\nPCFL A\"B A 1\n", "\"ID\",\"A\"B\"", "a quote in a name is not doubled"},
    {"PCFO\nPCFL " + std::string(128, 'N') + " A 1\n", nullptr, "name of 128 bytes"},
    {"PCFO\n" + Fields(8000, "PCFL A A 1\n"), nullptr, "8000 fields"},
    {"PCFO\nPCFL A A 32766\n", nullptr, "text field and record of 32766 bytes"},
    {"PCFO\nPCFL A S 63/63\nPCFL B B 2\nPCFL C F 8\nPCFL D U 0\nPCFL E N 32600\n", nullptr,
     "each later code at its limits"},
    {"PCFO\nPCFL A 2 6/255\n", "\"ID\",\"A\"", "255 decimals"},
    {"PCFO\npcfl A A 1\n", "", "keyword in lower case"},
    {"PCFO\nPCFL A A 1\n\n", "", "blank line after the last field line"},
    {"PCFO\nPCFL A ABC 1\n", "", "three-character type token"},
    {"PCFO\nPCFL A  1\n", "", "empty type token"},
    {"PCFO\nPCFL\tA A 1\n", "", "tab is no separator"},
    {"PCFL A A 1\n", "", "no PCFO line"},
    {"", "", "empty file"},
    {"PCFO\n", "", "no field"},
    {"PCFO\nPCFL A A\n", "", "three tokens"},
    {"PCFO\nPCFL\n", "", "keyword alone"},
    {"PCFO\nPCFL " + std::string(129, 'N') + " A 1\n", "", "name of 129 bytes"},
    {"PCFO\nPCFL A A -1\n", "", "negative length"},
    {"PCFO\nPCFL A A 32767\n", "", "text length above 32766"},
    {"PCFO\nPCFL A 2 600/0\n", "", "packed length above 255"},
    {"PCFO\nPCFL A 2 512\n", "", "halved length above 255"},
    {"PCFO\nPCFL A 2 6/-1\n", "", "negative decimals"},
    {"PCFO\nPCFL A 2 6/256\n", "", "decimals above 255"},
    {"PCFO\n" + Fields(8001, "PCFL A A 1\n"), "", "8001 fields"},
    {"PCFO\nPCFL A A 32766\nPCFL B A 1\n", "", "record above 32766 bytes"},
    {"PCFO\nPCFL A V 32765\n", "", "varying field whose length makes the record too long"},
    {"PCFO\nPCFL A S 0\n", "", "zoned of no digit"},
    {"PCFO\nPCFL A S 64\n", "", "zoned of 64 digits"},
    {"PCFO\nPCFL A B 3\n", "", "binary of 3 bytes"},
    {"PCFO\nPCFL A F 2\n", "", "float of 2 bytes"},
    {"PCFO\nPCFL A F 8/2\n", "", "float with decimals"},
    {"PCFO\nPCFL A H 4/1\n", "", "hex with decimals"},
    {"PCFO\nPCFL A U 7\n", "", "UTF-16 of an odd length"},
    {"PCFO\nPCFL A N 9\n", "", "varying UTF-16 of an odd length"},
};

TEST_F(ToCsv, DescriptionFileFormat) {
  for (const FormatCase& c : kFormatCases) {
    SCOPED_TRACE(c.why);
    run.errors.Clear();
    progress.updates.clear();
    fs::remove(fs::path(tmp.path() + InDb2("T.csv")));
    EXPECT_EQ(Batch(c.fdf, ""), 0);
    if (c.header == nullptr || c.header[0] != '\0') {
      EXPECT_STREQ(Errors(), "");
      if (c.header != nullptr) {
        EXPECT_EQ(Csv(), Nl(std::string(c.header) + "\n"));
      }
      EXPECT_TRUE(CsvExists());
    } else {
      EXPECT_STREQ(Errors(), "  T.fdfの形式が不正(toCSV)\n");
      EXPECT_FALSE(CsvExists());
      EXPECT_EQ(counts.recordLength, 0);
    }
    ASSERT_EQ(progress.updates.size(), 1u);
    EXPECT_EQ(progress.updates[0].text, "T：レコード数 0");
  }
}

TEST_F(ToCsv, LongDescriptionLinesArriveInPieces) {
  // Lines are read 2999 characters at a time, the line feed counted: the
  // rest of a longer line is a line of its own, and no field line.
  const std::string longLine = "PCFL A A 1 " + std::string(2988, 'x') + "\n";
  EXPECT_EQ(Batch("PCFO\n" + longLine, ""), 0);
  EXPECT_STREQ(Errors(), "  T.fdfの形式が不正(toCSV)\n");
  run.errors.Clear();
  const std::string fitting = "PCFL A A 1 " + std::string(2987, 'x') + "\n";
  EXPECT_EQ(Batch("PCFO\n" + fitting, ""), 0);
  EXPECT_STREQ(Errors(), "");
}

// ---- The field list check (fdfmake --check) ---------------------------------

struct CheckCase {
  std::string fdf;
  std::string image;   // "-": no image
  int findings;
  std::string report;  // exactly
};

// Records of a packed number of 3 bytes, a text of 4, a zoned number of 3
// digits and a packed number of 2 bytes: 12 bytes.
std::string CheckRecords(int count) {
  std::string image;
  for (int i = 1; i <= count; ++i) {
    image += Packed(i * 101, 3) + Ebcdic("AB" + std::to_string(i % 10) + " ") + Ebcdic("12" + std::to_string(i % 10)) +
             Packed(-i, 2);
  }
  return image;
}
const char kCheckList[] = "PCFO\nPCFL N 2 6\nPCFL T A 4\nPCFL Z S 3\nPCFL P 2 4\n";

const CheckCase kCheckCases[] = {
    {"PCFO\nPCFL A A 2\n", "-", 0, ""},
    {"PCFO\r\nPCFL A A 2\r\n", "-", 0, ""},  // saved with CR LF
    {"header\nPCFO\nPCFL A A 2 what follows the length\n", "-", 0, ""},
    // Each fault of a line, with its line number and text.
    {"PCFO\nPCFL  A A 1\n", "-", 1, "T.fdf 2行目: 余分な空白があります(区切りは空白1つです)「PCFL  A A 1」\n"},
    {"PCFO\nPCFL A A \n", "-", 1, "T.fdf 2行目: 余分な空白があります(区切りは空白1つです)「PCFL A A 」\n"},
    {"PCFO\n PCFL A A 1\n", "-", 1, "T.fdf 2行目: 余分な空白があります(区切りは空白1つです)「 PCFL A A 1」\n"},
    {"PCFO\nPCFL\tA A 1\n", "-", 1, "T.fdf 2行目: タブがあります(区切りは空白1つです)「PCFL?A A 1」\n"},
    {"PCFO\nPCFL A A\t1\n", "-", 1, "T.fdf 2行目: タブがあります(区切りは空白1つです)「PCFL A A?1」\n"},
    {"PCFO\npcfl A A 1\n", "-", 1, "T.fdf 2行目: PCFL行ではありません「pcfl A A 1」\n"},
    {"PCFO\nPCFL A A 1\n\n", "-", 1, "T.fdf 3行目: 空行です「」\n"},
    {"PCFO\nPCFL A A\n", "-", 1, "T.fdf 2行目: 名前、型、長さのどれかがありません「PCFL A A」\n"},
    {"PCFO\nPCFL A ABC 1\n", "-", 1, "T.fdf 2行目: その型はありません「PCFL A ABC 1」\n"},
    {"PCFO\nPCFL A Z 4\n", "-", 1,
     "T.fdf 2行目: その型はありません(変換ではパック10進数として読みます)「PCFL A Z 4」\n"},
    {"PCFO\nPCFL A B 3\n", "-", 1, "T.fdf 2行目: その長さはこの型では使えません「PCFL A B 3」\n"},
    {"PCFO\nPCFL A 2 6/256\n", "-", 1, "T.fdf 2行目: その長さはこの型では使えません「PCFL A 2 6/256」\n"},
    {"PCFO\nPCFL A 2 1\n", "-", 1, "T.fdf 2行目: 0バイトの項目です「PCFL A 2 1」\n"},
    {"PCFO\nPCFL " + std::string(129, 'N') + " A 1\n", "-", 1,
     "T.fdf 2行目: 名前が128バイトを超えています「PCFL " + std::string(95, 'N') + "...」\n"},
    {"PCFO\nPCFL A A 1 " + std::string(2988, 'x') + "\nPCFL B A 1\n", "-", 1,
     "T.fdf 2行目: 行が2999バイトを超えています「PCFL A A 1 " + std::string(89, 'x') + "...」\n"},
    {"PCFO\nPCFL A A 32766\nPCFL B A 1\nPCFL C A 1\n", "-", 1,
     "T.fdf 3行目: レコード長が32766バイトを超えます「PCFL B A 1」\n"},
    {"PCFO\n" + Fields(8002, "PCFL A A 1\n"), "-", 1, "T.fdf 8002行目: 項目が8000を超えます「PCFL A A 1」\n"},
    {"PCFL A A 1\nPCFL B A 1\n", "-", 1, "T.fdf 1行目: この行の前にPCFO行がありません「PCFL A A 1」\n"},
    {"", "-", 1, "T.fdf: PCFO行がありません\n"},
    {"PCFO\n", "-", 1, "T.fdf: 項目がありません\n"},
    {"made from QVFIELDS\nPCFL X A 1\nPCFO\nPCFL A A 1\n", "-", 1,
     "T.fdf 2行目: PCFO行より前にあるため読まれません「PCFL X A 1」\n"},
    // Every fault of a list at once, in line order; then no image check.
    {"PCFO\nPCFL A A 1\nPCFL B  A 1\nPCFL C X2 7\nPCFL D F 3\n", CheckRecords(1), 2,
     "T.fdf 3行目: 余分な空白があります(区切りは空白1つです)「PCFL B  A 1」\n"
     "T.fdf 5行目: その長さはこの型では使えません「PCFL D F 3」\n"
     "T.db2: 項目一覧に誤りがあるため照合しません\n"},
    // Against the image: the right list finds nothing, an empty image neither.
    {kCheckList, CheckRecords(5), 0, ""},
    {kCheckList, "", 0, ""},
    {kCheckList, CheckRecords(2) + "\x01\x02\x03", 1, "T.db2: 大きさ27バイトがレコード長12バイトの倍数ではありません(余り3バイト)\n"},
    // The text a byte short: records taken at the 12 bytes the size fits,
    // the fields before it are right, and every one from the first that
    // starts a byte early on is wrong, and says so.
    {"PCFO\nPCFL N 2 6\nPCFL T A 3\nPCFL Z S 3\nPCFL P 2 4\n", CheckRecords(5), 3,
     "T.db2: 大きさ60バイトがレコード長11バイトの倍数ではありません(余り5バイト)\n"
     "T.db2: 大きさに合う12バイトごとのレコードとして照合しました\n"
     "T.fdf 4行目: 5件中5件(100.0%)の値がこの型として正しくありません「PCFL Z S 3」\n"
     "T.fdf 5行目: 5件中5件(100.0%)の値がこの型として正しくありません「PCFL P 2 4」\n"},
    // The same list against 11 records: 132 bytes fit its 11 bytes too, so
    // only the values tell that the records are 12 bytes long.
    {"PCFO\nPCFL N 2 6\nPCFL T A 3\nPCFL Z S 3\nPCFL P 2 4\n", CheckRecords(11), 2,
     "T.db2: 大きさに合う12バイトごとのレコードとして照合しました\n"
     "T.fdf 4行目: 11件中11件(100.0%)の値がこの型として正しくありません「PCFL Z S 3」\n"
     "T.fdf 5行目: 11件中11件(100.0%)の値がこの型として正しくありません「PCFL P 2 4」\n"},
    // One value of each kind the conversion counts, or the host would not take.
    {"PCFO\nPCFL T A 2\nPCFL V V 2\nPCFL P 2 4\nPCFL Z S 2\n",
     Hex("C1C2 0002C1C2 012C F1F2") + Hex("C141 0002C1C2 012C F1F2") + Hex("C1C2 0003C1C2 012C F1F2") +
         Hex("C1C2 0002C1C2 0123 F1F2") + Hex("C1C2 0002C1C2 012C 40F2") + Hex("C1C2 0002C1C2 012C F1F2"),
     4,
     "T.fdf 2行目: 6件中1件(16.7%)の値がこの型として正しくありません「PCFL T A 2」\n"
     "T.fdf 3行目: 6件中1件(16.7%)の値がこの型として正しくありません「PCFL V V 2」\n"
     "T.fdf 4行目: 6件中1件(16.7%)の値がこの型として正しくありません「PCFL P 2 4」\n"
     "T.fdf 5行目: 6件中1件(16.7%)の値がこの型として正しくありません「PCFL Z S 2」\n"},
};

TEST_F(ToCsv, FieldListCheck) {
  for (const CheckCase& c : kCheckCases) {
    SCOPED_TRACE(c.fdf.substr(0, 60) + " / " + c.report);
    tmp.Write("T.fdf", c.fdf);
    const bool withImage = c.image != "-";
    if (withImage) tmp.Write("T.db2", c.image);
    std::string report;
    const int findings = CheckFieldListAndImage((tmp.path() + "T.fdf").c_str(),
                                                withImage ? (tmp.path() + "T.db2").c_str() : nullptr,
                                                *tables, &report);
    EXPECT_EQ(report, c.report);
    EXPECT_EQ(findings, c.findings);
  }
  // Files that are not there.
  std::string report;
  EXPECT_EQ(CheckFieldListAndImage((tmp.path() + "none.fdf").c_str(), nullptr, *tables, &report), 1);
  tmp.Write("T.fdf", kCheckList);
  EXPECT_EQ(CheckFieldListAndImage((tmp.path() + "T.fdf").c_str(), (tmp.path() + "none.db2").c_str(),
                                   *tables, &report),
            1);
  EXPECT_EQ(report, "none.fdf: 開けません\nnone.db2: 開けません\n");
  // Every list the conversion refuses has a finding.
  for (const FormatCase& c : kFormatCases) {
    if (c.header == nullptr || c.header[0] != '\0') continue;
    SCOPED_TRACE(c.why);
    tmp.Write("T.fdf", c.fdf);
    report.clear();
    EXPECT_GE(CheckFieldListAndImage((tmp.path() + "T.fdf").c_str(), nullptr, *tables, &report), 1);
  }
}

// ---- Records, files and failures ------------------------------------------

TEST_F(ToCsv, EmptyImageGivesHeaderOnly) {
  EXPECT_EQ(Batch("PCFO\nPCFL A A 2\n", ""), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"A\"\n"));
  ASSERT_EQ(progress.updates.size(), 1u);
  EXPECT_EQ(progress.updates[0].caption, kCaption);
  EXPECT_EQ(progress.updates[0].text, "T：レコード数 0");
}

TEST_F(ToCsv, TwoAndAHalfRecords) {
  // One unmapped code, so the result shows it is the error total, not -1.
  EXPECT_EQ(Batch("PCFO\nPCFL A A 2\n", Hex("C1C2 C341 C4")), 1);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"A\"\n1,\"AB\"\n2,\"C\"\n"));
  EXPECT_STREQ(Errors(), "  Tのﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n");
  EXPECT_EQ(counts.recordLength, 2);
  ASSERT_EQ(progress.updates.size(), 1u);
  EXPECT_EQ(progress.updates[0].text, "T：レコード数 2 (Shift-JIS 変換ｴﾗｰ 1)");
}

TEST_F(ToCsv, ImageNamedInCapitals) {
  // Batch runs fetch images as <name>.DB2.
  tmp.Write("T.fdf", "PCFO\nPCFL A A 1\n");
  tmp.Write(InDb2("T.DB2"), Ebcdic("A"));
  EXPECT_EQ(Convert("DB2", "T"), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"A\"\n1,\"A\"\n"));
}

TEST_F(ToCsv, OpenFailures) {
  // No description file: nothing else is opened.
  tmp.Write(InDb2("T.db2"), Ebcdic("A"));
  EXPECT_EQ(Convert("DB2", "T"), 0);
  EXPECT_STREQ(Errors(), "  T.fdfのオープンに失敗(toCSV)\n");
  EXPECT_FALSE(CsvExists());

  // No image.
  run.errors.Clear();
  tmp.Write("U.fdf", "PCFO\nPCFL A A 1\n");
  EXPECT_EQ(Convert("DB2", "U"), 0);
  EXPECT_STREQ(Errors(), "  U.db2のオープンに失敗(toCSV)\n");
  EXPECT_FALSE(CsvExists("U"));

  // The CSV name is taken by a folder.
  run.errors.Clear();
  fs::create_directory(fs::path(tmp.path() + InDb2("V.csv")));
  EXPECT_EQ(Batch("PCFO\nPCFL A A 1\n", Ebcdic("A"), "V"), 0);
  EXPECT_STREQ(Errors(), "  V.csvのオープンに失敗(toCSV)\n");

  // Error lines collect over the files of a run.
  EXPECT_EQ(Convert("DB2", "W"), 0);
  EXPECT_STREQ(Errors(), "  V.csvのオープンに失敗(toCSV)\n  W.fdfのオープンに失敗(toCSV)\n");
}

// A batch run reads each entry's description once and hands it over: the
// conversion takes that one, whatever the file now says, and reports its
// failures in the same lines.
TEST_F(ToCsv, DescriptionReadOnceByTheBatchRun) {
  tmp.Write("T.fdf", "PCFO\nPCFL A A 1\n");
  FieldDescription read;
  ReadFieldDescription((tmp.path() + "T.fdf").c_str(), &read);
  ASSERT_TRUE(read.opened && read.valid);
  tmp.Write("T.fdf", "changed since\n");
  tmp.Write(InDb2("T.db2"), Ebcdic("AB"));
  Conversion with{run.job(), tables.get(), &progress, nullptr};
  with.description = &read;
  EXPECT_EQ(toCSV(with, "DB2", "T", &counts), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"A\"\n1,\"A\"\n2,\"B\"\n"));
  FieldDescription missing;
  ReadFieldDescription((tmp.path() + "U.fdf").c_str(), &missing);
  FieldDescription malformed;
  malformed.opened = true;
  for (FieldDescription* d : {&missing, &malformed}) {
    with.description = d;
    EXPECT_EQ(toCSV(with, "DB2", "T", &counts), 0);
  }
  EXPECT_STREQ(Errors(), "  T.fdfのオープンに失敗(toCSV)\n  T.fdfの形式が不正(toCSV)\n");
}

#if !defined(_WIN32)
// chattr +i / -i; false where the file system or the account cannot.
bool SetImmutable(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int flags = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok;
}
#endif

TEST_F(ToCsv, ImageIsOnlyReadNeverThroughALink) {
  // A read-only image converts; so does an immutable one, which binds
  // root too (the image was once opened for writing).
  tmp.Write("T.fdf", "PCFO\nPCFL A A 1\n");
  tmp.Write(InDb2("T.db2"), Ebcdic("A"));
  const std::string image = tmp.path() + InDb2("T.db2");
  fs::permissions(image, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#if !defined(_WIN32)
  const bool immutable = SetImmutable(image, true);
#endif
  EXPECT_EQ(Convert("DB2", "T"), 0);
  EXPECT_STREQ(Errors(), "");
  EXPECT_EQ(Csv(), Nl("\"ID\",\"A\"\n1,\"A\"\n"));
  EXPECT_TRUE(counts.csvWritten);
#if !defined(_WIN32)
  if (immutable) SetImmutable(image, false);
  // A link at the image is refused with its reason; its target not read.
  tmp.Write("L.fdf", "PCFO\nPCFL A A 1\n");
  fs::create_symlink(image, fs::path(tmp.path() + InDb2("L.db2")));
  EXPECT_EQ(Convert("DB2", "L"), 0);
  EXPECT_STREQ(Errors(), "  L.db2がリンクのため変換しません(toCSV)\n");
  EXPECT_FALSE(CsvExists("L"));
  EXPECT_FALSE(counts.csvWritten);
#endif
  fs::permissions(image, fs::perms::owner_all);
}

// Single-file mode opens CodeErr.csv and shows the summary (both checked
// end to end in tests/e2e/test_single_file.py); toCSV writes the rows into
// the file it is handed and leaves it open to its owner.
TEST_F(ToCsv, SingleFileMissingDescription) {
  OpenRows();
  EXPECT_EQ(Convert("", "T"), 0);
  EXPECT_STREQ(Errors(), "  T.fdfのオープンに失敗(toCSV)\n");
  EXPECT_EQ(counts.recordLength, 0);
  EXPECT_EQ(Rows(), "");
  EXPECT_FALSE(tmp.Exists("T.csv"));
}

TEST_F(ToCsv, SingleFileCodeErrorRowsAndCounts) {
  // Record 1: an unmapped single-byte code; record 2: a user-area double-byte
  // code, a bad packed nibble (counted in the total only) and a Unicode
  // character Shift-JIS lacks (a double-byte error named U+XXXX).
  const std::string fdf = "PCFO\nPCFL S A 2\nPCFL W W 2\nPCFL P 2 2\nPCFL U U 4\n";
  const std::string image = Hex("C141 4541 1C 00410042") + Hex("C1C2 6941 AC D842DFB7");
  OpenRows();
  EXPECT_EQ(Single(fdf, image), 4);
  EXPECT_EQ(tmp.Read("T.csv"), Nl("\"ID\",\"S\",\"W\",\"P\",\"U\"\n1,\"A\",\"一\",1,\"AB\"\n"
                                  "2,\"AB\",\"□\",0,\"□\"\n"));
  std::fputs("end\n", rows);  // still open, and nothing of toCSV's after it
  EXPECT_EQ(Rows(), Nl("T,1,0x41\nT,2,0x6941\nT,2,U+20BB7\nend\n"));
  EXPECT_EQ(counts.recordLength, 9);
  EXPECT_EQ(counts.doubleByteErrors, 2);
  EXPECT_EQ(counts.singleByteErrors, 1);
}

std::string Records(int count) {
  std::string image;
  for (int i = 0; i < count; ++i) image += Ebcdic("A");
  return image;
}

TEST_F(ToCsv, StatusEveryHundredRecords) {
  struct Case {
    int records;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {99, {"T：レコード数 99"}},
      {100, {"T：レコード数 100", "T：レコード数 100"}},
      {250, {"T：レコード数 100", "T：レコード数 200", "T：レコード数 250"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.records);
    progress.updates.clear();
    EXPECT_EQ(Batch("PCFO\nPCFL A A 1\n", Records(c.records)), 0);
    ASSERT_EQ(progress.updates.size(), c.texts.size());
    for (size_t i = 0; i < c.texts.size(); ++i) {
      EXPECT_EQ(progress.updates[i].caption, kCaption);
      EXPECT_EQ(progress.updates[i].text, c.texts[i]);
    }
  }
}

TEST_F(ToCsv, StatusCountsErrors) {
  // Every record holds one unmapped code.
  std::string image;
  for (int i = 0; i < 150; ++i) image += Hex("41");
  EXPECT_EQ(Batch("PCFO\nPCFL A A 1\n", image), 150);
  ASSERT_EQ(progress.updates.size(), 2u);
  EXPECT_EQ(progress.updates[0].text, "T：レコード数 100 (Shift-JIS 変換ｴﾗｰ 100)");
  EXPECT_EQ(progress.updates[1].text, "T：レコード数 150 (Shift-JIS 変換ｴﾗｰ 150)");
}

TEST_F(ToCsv, CancelAtFirstStatusKeepsThePreviousCsv) {
  progress.cancelAt = 1;
  tmp.Write("T.csv", "old");
  EXPECT_EQ(Single("PCFO\nPCFL A A 1\n", Records(250)), -1);
  EXPECT_EQ(tmp.Read("T.csv"), "old");
  EXPECT_EQ(TempFiles(""), 0);
  ASSERT_EQ(progress.updates.size(), 2u);
  EXPECT_EQ(progress.updates[1].text, "T：レコード数 100 (Shift-JIS 変換ｴﾗｰ -1)");
}

TEST_F(ToCsv, CancelInTheMiddleOfTheRing) {
  // Many jobs ahead are read and converted when the answer comes; none of
  // them is written, and the status stops where the answer came.
  tmp.Write("T.csv", "old");
  for (const char* workers : {"1", "3", "64"}) {
    SCOPED_TRACE(workers);
    Workers(workers);
    progress.updates.clear();
    progress.cancelAt = 1500;
    OpenRows();
    EXPECT_EQ(Single("PCFO\nPCFL A A 1\n", Records(300000) + Hex("41")), -1);
    EXPECT_EQ(tmp.Read("T.csv"), "old");
    EXPECT_EQ(TempFiles(""), 0);
    ASSERT_EQ(progress.updates.size(), 1501u);
    EXPECT_EQ(progress.updates.back().text, "T：レコード数 150000 (Shift-JIS 変換ｴﾗｰ -1)");
    EXPECT_EQ(Rows(), "");  // the code error after the answer is not reported
  }
}

TEST_F(ToCsv, CodeErrorRowsInRecordOrderAcrossJobs) {
  // An unmapped code every 2000th record: the first 100 of the 150 lie in
  // many jobs, which workers finish in any order.
  std::string image = Records(300000);
  std::string expected;
  for (int k = 1; k <= 150; ++k) {
    image[static_cast<size_t>(k) * 2000 - 1] = '\x41';
    if (k <= 100) expected += "T," + std::to_string(k * 2000) + ",0x41\n";
  }
  for (const char* workers : {"1", "3", "64"}) {
    SCOPED_TRACE(workers);
    Workers(workers);
    OpenRows();
    EXPECT_EQ(Single("PCFO\nPCFL A A 1\n", image), 150);
    EXPECT_EQ(Rows(), Nl(expected));
    EXPECT_EQ(counts.singleByteErrors, 150);
  }
}

TEST_F(ToCsv, WorkersSetting) {
  // Any number of workers gives the same file; a value that is not one
  // converts on one worker, with one error line for the whole run.
  struct Case {
    const char* value;
    bool valid;
  };
  const Case cases[] = {{"", true},    {"0", true},   {"1", true},   {"2", true},  {"64", true},
                        {"064", true}, {"65", false}, {"-1", false}, {"x", false}, {"99999999999", false},
                        {"2x", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Workers(c.value);
    run.errors.Clear();
    // The run reads its settings once, and tells a bad value then.
    Settings read;
    LoadSettings(run.settingsPath(), &read, &run.errors);
    EXPECT_EQ(Batch("PCFO\nPCFL A A 1\n", Records(3)), 0);
    EXPECT_EQ(Convert("DB2", "T"), 0);  // a second file of the run
    EXPECT_EQ(Csv(), Nl("\"ID\",\"A\"\n1,\"A\"\n2,\"A\"\n3,\"A\"\n"));
    EXPECT_STREQ(Errors(), c.valid ? "" : "  Workersの値が不正なため1で変換します(toCSV)\n");
  }
}

TEST_F(ToCsv, ImagesLargerThanOneBlock) {
  // 7-byte records straddle every block boundary; rows fill several output
  // blocks. The last record holds an unmapped code: its report row names it.
  const int count = 300001;
  std::string image;
  std::string expected = "\"ID\",\"N\",\"S\"\n";
  image.reserve(static_cast<size_t>(count) * 7);
  const std::string letters = Ebcdic("XYZ");
  for (int i = 0; i < count - 1; ++i) {
    image += Packed(i, 4) + letters;
    expected += std::to_string(i + 1) + "," + std::to_string(i) + ",\"XYZ\"\n";
  }
  image += Packed(count - 1, 4) + Ebcdic("XY") + "\x41";
  expected += std::to_string(count) + "," + std::to_string(count - 1) + ",\"XY\"\n";
  OpenRows();
  EXPECT_EQ(Batch("PCFO\nPCFL N 2 8\nPCFL S A 3\n", image + "\x40"), 1);
  EXPECT_TRUE(Csv() == Nl(expected));
  EXPECT_STREQ(Errors(), "  Tのﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n");
  EXPECT_EQ(progress.updates.size(), static_cast<size_t>(count / 100 + 1));
  EXPECT_EQ(progress.updates.back().text, "T：レコード数 300001 (Shift-JIS 変換ｴﾗｰ 1)");
  EXPECT_EQ(Rows(), Nl("T,300001,0x41\n"));
}

TEST_F(ToCsv, FullDiskIsReportedAndKeepsThePreviousCsv) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a file size limit";
#else
  // A file size limit fails every write past 5 bytes (EFBIG), as a full
  // disk fails it.
  tmp.Write(InDb2("T.csv"), "old");
  tmp.Write(InDb2("T.db2"), Records(300000));
  tmp.Write("T.fdf", "PCFO\nPCFL A A 1\n");
  for (int count : {1, 300000, -300000}) {  // failing at the close, inside the ring (on 1 and 64 workers)
    SCOPED_TRACE(count);
    Workers(count < 0 ? "64" : "1");
    count = count < 0 ? -count : count;
    run.errors.Clear();
    tmp.Write(InDb2("T.db2"), Records(count));
    struct rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = was;
    small.rlim_cur = 5;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int got = Convert("DB2", "T");
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(got, 0);
    EXPECT_STREQ(Errors(), "  T.csvの書き込みに失敗(toCSV)\n");
    EXPECT_EQ(Csv(), "old");
    EXPECT_EQ(TempFiles("DB2"), 0);
  }
#endif
}

TEST_F(ToCsv, LinkAtTheCsvNameIsNotWrittenThrough) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX links";
#else
  tmp.Write("other.txt", "other");
  fs::create_symlink(fs::path(tmp.path() + "other.txt"), fs::path(tmp.path() + InDb2("T.csv")));
  EXPECT_EQ(Batch("PCFO\nPCFL A A 1\n", Records(3)), 0);
  EXPECT_STREQ(Errors(), "  T.csvがリンクのため書き込みません(toCSV)\n");
  EXPECT_EQ(tmp.Read("other.txt"), "other");
  EXPECT_TRUE(fs::is_symlink(fs::path(tmp.path() + InDb2("T.csv"))));
#endif
}

TEST_F(ToCsv, OverlongNameIsRefused) {
  OpenRows();
  const std::string name(201, 'N');
  EXPECT_EQ(Convert("", name.c_str()), 0);
  EXPECT_EQ(std::string(Errors()), "  " + std::string(40, 'N') + "...のﾌｧｲﾙ名が長すぎる(toCSV)\n");
  EXPECT_EQ(Rows(), "");
  ASSERT_EQ(progress.updates.size(), 1u);
  EXPECT_EQ(progress.updates[0].text, std::string(40, 'N') + "...：レコード数 0");

  // 200 bytes are still a name, whole in the error line and in the report's
  // rows.
  run.errors.Clear();
  const std::string longest(200, 'N');
  Convert("DB2", longest.c_str());
  EXPECT_EQ(std::string(Errors()), "  " + longest + ".fdfのオープンに失敗(toCSV)\n");
  OpenRows();
  EXPECT_EQ(Single("PCFO\nPCFL A A 1\n", Hex("41"), longest.c_str()), 1);
  EXPECT_EQ(Rows(), Nl(longest + ",1,0x41\n"));
}

// ---- UTF-8 output ----------------------------------------------------------

struct Utf8Case {
  const char* fieldLine;  // after "PCFL F "
  const char* bytes;      // field bytes in hex
  const char* value;      // what stands after "1,", in UTF-8
};

// The Shift-JIS value mapped character by character as code page 932 maps
// it; the currency mark of Y and y is the yen sign its readers mean.
const Utf8Case kUtf8Cases[] = {
    {"W 4", "45414542", u8"\"一二\""},
    {"A 8", "C10E45414542 0FC2", u8"\"A一二B\""},
    {"A 2", "8181", u8"\"ｱｱ\""},                     // half-width katakana: U+FF71
    {"Y 4", "F1F5F0F0", u8"¥1500"},                   // the currency mark: U+00A5
    {"Y 5", "F16BF0F0F0", u8"\"¥1,000\""},           // quoted, the mark after the quote
    {"y 6", "01500C", u8"¥1500"},
    {"y 6", "00007D", u8"¥-7"},
    {"y 6/2", "01500C", u8"15.00"},                   // no mark with decimals
    {"I 2", "E0C1", u8"\\A"},                        // a backslash of the data stays U+005C
    {"W 2", "6941", u8"\"□\""},                      // the substitution pair
    {"W 2", "7141", u8"\"\uFFFD\""},                 // a user entry to an unassigned code
    {"2 6/2", "12345D", u8"-123.45"},
    // Unicode text keeps every character, beyond Shift-JIS and the BMP too.
    {"U 4", "D842DFB7", u8"\"𠮷\""},
    {"U 4", "D8000041", u8"\"\uFFFDA\""},             // an unpaired surrogate
    {"U 8", "301CFF5E00E90022", u8"\"〜～é\"\"\""},
    {"U 4", "00A5005C", u8"\"¥\\\""},                // yen sign and backslash as they are
    {"N 8", "0002D842DFB700410042", u8"\"𠮷\""},
    {"V 4", "0002C1C24040", u8"\"AB\""},
    {"H 2", "C1C2", u8"C1C2"},
};

class ToCsvUtf8 : public ToCsv {
 protected:
  void SetUp() override {
    ToCsv::SetUp();
    tables->singleByte[0x81] = 0xB1;  // ｱ
    tables->singleByte[0xE0] = '\\';
    tables->user[0] = {0x7141, 0x8540};  // unassigned in code page 932
    tables->user[1] = {0, 0};
    RebuildLookup(tables.get());
    Encoding("UTF-8");
  }
  void Encoding(const std::string& value) {
    tmp.Write("Quenvale.ini", "[Quenvale]\r\nCsvEncoding=" + value + "\r\n");
  }
};

TEST_F(ToCsvUtf8, ValueForms) {
  for (const Utf8Case& c : kUtf8Cases) {
    SCOPED_TRACE(std::string(c.fieldLine) + " " + c.bytes);
    run.errors.Clear();
    Batch(std::string("PCFO\nPCFL F ") + c.fieldLine + "\n", Hex(c.bytes));
    EXPECT_EQ(Csv(), Nl(std::string("\"ID\",\"F\"\n1,") + c.value + "\n"));
    EXPECT_STREQ(Errors(), "");
  }
}

TEST_F(ToCsvUtf8, LongestValuesAreWhole) {
  // 127 Kanji (254 bytes) and 255 half-width katakana: their UTF-8 is longer
  // than a field's 255 bytes, and nothing of it is cut or runs over.
  std::string kanji, kana;
  for (int i = 0; i < 127; ++i) kanji += u8"一";
  for (int i = 0; i < 255; ++i) kana += u8"ｱ";
  std::string fdf = "PCFO\nPCFL K W 254\nPCFL L A 255\nPCFL M A 255\n";
  std::string record;
  for (int i = 0; i < 127; ++i) record += Hex("4541");
  record += std::string(255, '\x81');
  // M: a shift-out run of 127 Kanji and the shift-in.
  record += Hex("0E");
  for (int i = 0; i < 127; ++i) record += Hex("4541");
  record += Hex("0F");
  EXPECT_EQ(Batch(fdf, record), 0);
  const std::string row = Csv().substr(Nl("\"ID\",\"K\",\"L\",\"M\"\n").size());
  EXPECT_EQ(row, Nl("1,\"" + kanji + "\",\"" + kana + "\",\"" + kanji + "\"\n"));
}

TEST_F(ToCsvUtf8, ByteOrderMarkOnlyAtTheStartAndNamesInUtf8) {
  Encoding("utf-8-bom");  // the value's letters in any case
  // Several output blocks: the mark is the file's first bytes, and only there.
  std::string image;
  for (int i = 0; i < 40000; ++i) image += Hex("45414542") + Ebcdic(std::string(26, 'A'));
  EXPECT_EQ(Batch("PCFO\nPCFL 名前 W 4\nPCFL TEXT A 26\n", image), 0);
  const std::string csv = Csv();
  ASSERT_GT(csv.size(), 1u << 20);
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBF", std::string::npos), 0u);
  const std::string header = std::string("\xEF\xBB\xBF") + u8"\"ID\",\"名前\",\"TEXT\"";
  EXPECT_EQ(csv.substr(0, header.size()), header);
}

TEST_F(ToCsvUtf8, UnknownValueWritesNothing) {
  // A typo must not give a file in an encoding nobody asked for. The
  // settings' reader tells it, once a run (profile_test).
  for (const char* value : {"UTF8", "utf-16", "SJIS", "Shift-JIS"}) {
    SCOPED_TRACE(value);
    Encoding(value);
    run.errors.Clear();
    EXPECT_EQ(Batch("PCFO\nPCFL F A 1\n", Hex("C1")), 0);
    EXPECT_FALSE(CsvExists());
    EXPECT_FALSE(counts.csvWritten);
  }
  Encoding("Shift_JIS");
  EXPECT_EQ(Batch("PCFO\nPCFL F W 2\n", Hex("4541")), 0);
  EXPECT_EQ(Csv(), Nl("\"ID\",\"F\"\n1,\"一\"\n"));
}

// Every code of code page 932 as the C library's iconv maps it, U+FFFD where
// it maps nothing.
TEST(Utf8Table, EveryCodeAsIconvMapsIt) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows C library has no iconv; the native build checks the table against it";
#else
  iconv_t cd = iconv_open("UTF-8", "CP932");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  const auto viaIconv = [&](const std::string& in) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[8];
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out;
    size_t dstLeft = sizeof out;
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return std::string();
    return std::string(out, sizeof out - dstLeft);
  };
  const auto viaTable = [](const std::string& in) {
    char out[16];
    return std::string(out, PutUtf8(out, in.data(), in.size()));
  };
  const std::string replacement = "\xEF\xBF\xBD";
  // A zero byte is no character of a value: it stands for the currency mark.
  EXPECT_EQ(viaTable(std::string(1, kYenMark)), u8"¥");
  for (int c = 1; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    const std::string expected = viaIconv(one);
    EXPECT_EQ(viaTable(one), expected.empty() ? replacement : expected) << std::hex << c;
    const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    for (int t = lead ? 0x40 : 0x100; t <= 0xFC; ++t) {
      if (t == 0x7F) continue;
      const std::string two{static_cast<char>(c), static_cast<char>(t)};
      const std::string pair = viaIconv(two);
      ASSERT_EQ(viaTable(two), pair.empty() ? replacement : pair) << std::hex << c << " " << t;
    }
  }
  // A lead byte before a comma keeps the comma: the row keeps its columns.
  EXPECT_EQ(viaTable("\x81,\""), replacement + ",\"");
  iconv_close(cd);
#endif
}

// Every character of the BMP as the C library's iconv maps it to code page
// 932 (the file's table is generated from it; this checks the lookup).
TEST(UnicodeTable, EveryCharacterAsIconvMapsIt) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows C library has no iconv; the native build checks the table against it";
#else
  iconv_t cd = iconv_open("CP932", "UTF-16BE");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (unsigned cp = 1; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in[2] = {static_cast<char>(cp >> 8), static_cast<char>(cp)};
    unsigned char out[8];
    char* src = in;
    char* dst = reinterpret_cast<char*>(out);
    size_t srcLeft = 2, dstLeft = sizeof out;
    unsigned expected = 0;
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) {
      expected = sizeof out - dstLeft == 1 ? out[0] : static_cast<unsigned>(out[0]) << 8 | out[1];
    }
    ASSERT_EQ(Cp932OfCodePoint(cp), expected) << std::hex << cp;
  }
  EXPECT_EQ(Cp932OfCodePoint(0x20BB7), 0u);  // beyond the BMP: none
  iconv_close(cd);
#endif
}

// Numbers of every width against the standard library's own text: binary
// and zoned values of random sizes, and floats that must read back as the
// same bits.
TEST_F(ToCsv, LaterNumbersAgainstTheStandardLibrary) {
  std::mt19937_64 rng(400);
  const std::string fdf =
      "PCFO\nPCFL A B 2\nPCFL B B 4\nPCFL C B 8\nPCFL D B 8/3\nPCFL E S 18\nPCFL F S 9/3\n"
      "PCFL G F 4\nPCFL H F 8\n";
  const auto bigEndian = [](uint64_t v, int width) {
    std::string b;
    for (int k = width - 1; k >= 0; --k) b += static_cast<char>(v >> (8 * k));
    return b;
  };
  const auto zoned = [](long long v, int digits) {
    std::string d = std::to_string(v < 0 ? -v : v);
    d = std::string(static_cast<size_t>(digits) - d.size(), '0') + d;
    std::string b;
    for (char c : d) b += static_cast<char>(0xF0 | (c - '0'));
    if (v < 0) b.back() = static_cast<char>(0xD0 | (b.back() & 0x0F));
    return b;
  };
  // "12345" with 3 decimals as a scaled number: "12.345"; zero "0.".
  const auto scaled = [](long long v, int decimals) {
    if (v == 0) return std::string("0.");
    std::string d = v < 0 ? std::to_string(v).substr(1) : std::to_string(v);
    if (d.size() <= static_cast<size_t>(decimals)) d = std::string(decimals + 1 - d.size(), '0') + d;
    return (v < 0 ? "-" : "") + d.insert(d.size() - static_cast<size_t>(decimals), ".");
  };
  std::string image;
  std::vector<std::vector<std::string>> expected;
  std::vector<std::pair<float, double>> floats;
  for (int r = 0; r < 500; ++r) {
    const int shift = static_cast<int>(rng() % 64);
    const int64_t b8 = static_cast<int64_t>(rng()) >> shift;
    const int16_t b2 = static_cast<int16_t>(rng());
    const int32_t b4 = static_cast<int32_t>(rng() >> shift);
    const long long z18 = static_cast<long long>(rng() % 1000000000000000000ULL) * (r % 2 ? -1 : 1) >> (shift % 60);
    const long long z9 = static_cast<long long>(rng() % 1000000000) * (r % 3 ? 1 : -1);
    uint32_t fbits = static_cast<uint32_t>(rng());
    uint64_t dbits = rng();
    float f;
    double d;
    std::memcpy(&f, &fbits, 4);
    std::memcpy(&d, &dbits, 8);
    if (!std::isfinite(f)) fbits = 0x3F800000, f = 1.0f;
    if (!std::isfinite(d)) dbits = 0, d = 0.0;
    image += bigEndian(static_cast<uint16_t>(b2), 2) + bigEndian(static_cast<uint32_t>(b4), 4) +
             bigEndian(static_cast<uint64_t>(b8), 8) + bigEndian(static_cast<uint64_t>(b8), 8) +
             zoned(z18, 18) + zoned(z9, 9) + bigEndian(fbits, 4) + bigEndian(dbits, 8);
    expected.push_back({std::to_string(b2), std::to_string(b4), std::to_string(b8), scaled(b8, 3),
                        std::to_string(z18), scaled(z9, 3)});
    floats.emplace_back(f, d);
  }
  EXPECT_EQ(Batch(fdf, image), 0);
  std::stringstream rows(Csv());
  std::string line;
  std::getline(rows, line);
  for (size_t r = 0; r < expected.size(); ++r) {
    ASSERT_TRUE(std::getline(rows, line));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::stringstream cut(line);
    for (std::string cell; std::getline(cut, cell, ',');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 9u) << line;
    for (size_t c = 0; c < expected[r].size(); ++c) EXPECT_EQ(cells[c + 1], expected[r][c]) << line;
    // Floats: the text reads back as the same value.
    const float f = std::strtof(cells[7].c_str(), nullptr);
    const double d = std::strtod(cells[8].c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&f, &floats[r].first, 4), 0) << cells[7];
    EXPECT_EQ(std::memcmp(&d, &floats[r].second, 8), 0) << cells[8];
  }
}

// ---- Text routines -----------------------------------------------------------

// Blanks at the start, then whole characters from there: the end is where
// the last character that is no blank (ASCII or full-width) ends.
std::string TrimmedByCharacters(const std::string& s) {
  const auto lead = [](unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); };
  size_t begin = 0;
  while (begin < s.size()) {
    if (s[begin] == ' ') {
      begin += 1;
    } else if (s.compare(begin, 2, "\x81\x40") == 0) {
      begin += 2;
    } else {
      break;
    }
  }
  size_t end = begin;
  for (size_t i = begin; i < s.size();) {
    const bool pair = lead(static_cast<unsigned char>(s[i])) && i + 1 < s.size();
    const bool blank = pair ? s.compare(i, 2, "\x81\x40") == 0 : s[i] == ' ';
    i += pair ? 2 : 1;
    if (!blank) end = i;
  }
  return s.substr(begin, end - begin);
}

TEST(TrimBlanks, AgreesWithCharacterWalkOnRandomText) {
  // Blanks, full-width blank halves, lead bytes and trail bytes that look
  // like blank halves: the mixes where a byte-wise cut goes wrong.
  const char pool[] = {' ', ' ', '\x81', '\x40', '@', 'A', '\x82', '\x9F', '\xE0', '\x5C'};
  uint32_t seed = 7;
  for (int round = 0; round < 30000; ++round) {
    seed = seed * 1103515245u + 12345u;
    std::string text((seed >> 16) % 40, ' ');
    for (char& c : text) {
      seed = seed * 1103515245u + 12345u;
      c = pool[(seed >> 16) % sizeof pool];
    }
    char buffer[64];
    std::strcpy(buffer, text.c_str());
    TrimBlanks(buffer);
    ASSERT_EQ(std::string(buffer), TrimmedByCharacters(text)) << "round " << round;
  }
}

TEST(TrimBlanks, Table) {
  struct Case {
    const char* text;
    const char* trimmed;
  };
  const Case cases[] = {
      {"\x81\x40\x81\x40" "AB \x81\x40", "AB"},
      {"", ""},
      {"   ", ""},
      {"\x81\x40", ""},
      {" A B ", "A B"},
      {"あ", "あ"},
      {"\x81", "\x81"},                 // a lone 0x81 is no blank
      {"A\x81\x40\x81\x40", "A"},
      // Regression: ＝ (0x81 0x81) then '@' ends in the bytes 0x81 0x40 but holds
      // no blank; cutting them left half a character and lost the '@'.
      {"\x81\x81@", "\x81\x81@"},
      {"\x81\x81@\x81\x40 ", "\x81\x81@"},
      {"\x82\x81\x40", "\x82\x81\x40"},
      {"\x82\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40", "\x82\x81\x40"},
      // Longer than eight bytes: blanks at the end of a word and mixed runs.
      {"ABCDEFGHIJ   ", "ABCDEFGHIJ"},
      {"ABCDEFGHIJ \x81\x40  \x81\x40\x81\x40 ", "ABCDEFGHIJ"},
      {"ABCDEFGH\x81\x81@   ", "ABCDEFGH\x81\x81@"},
      {"ABCDEFGH\x81\x81@\x81\x40\x81\x40\x81\x40\x81\x40 ", "ABCDEFGH\x81\x81@"},
  };
  for (const Case& c : cases) {
    char buffer[64];
    std::strcpy(buffer, c.text);
    EXPECT_EQ(TrimBlanks(buffer), static_cast<int>(std::strlen(c.trimmed))) << c.text;
    EXPECT_STREQ(buffer, c.trimmed);
  }
}

TEST(TextToInt64, Table) {
  struct Case {
    const char* text;
    int64_t value;
  };
  const Case cases[] = {
      {"1,234", 1234},
      {"\\1,000", 1000},
      {"12.9", 12},
      {"\"12\"", 12},
      {"-7", -7},
      {"", 0},
      {"abc", 0},
      {"  -0012", -12},
      {" 1:2", 1},                          // stops at the first other character
      {"+5", 5},
      {"\"", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"99999999999999999999", INT64_MAX},  // saturates
      {"-99999999999999999999", INT64_MIN},
      {"1234567890123456789012345678901234567890", INT64_MAX},  // only 29 characters are read
  };
  for (const Case& c : cases) EXPECT_EQ(TextToInt64(c.text), c.value) << c.text;
}

}  // namespace
