// The settings reader. The same expectations run in the Windows build, where
// they exercise the system's own profile functions, and in the Linux build,
// where they exercise our reader: passing in both shows the two agree.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/settings_file.h"
#include "base/path.h"
#include "base/profile_text.h"
#include "base/settings.h"
#include "platform/fileio.h"
#include "platform/profile.h"
#include "tests/unit/support/test_support.h"

namespace {

// Shift-JIS bytes: 表 (0x95 0x5C, trail byte is a backslash) and ｱ.
const std::string kHyo = "\x95\x5C";

const char kSettings[] =
    "top=before any section\r\n"
    "[Quenvale]\r\n"
    "  IPADDRESS  =  192.168.0.1  \r\n"
    "\r\n"
    "\t\r\n"
    "user=Alice\r\n"
    "USER=second\r\n"
    "quoted=\"in quotes\"\r\n"
    "single='in single'\r\n"
    "half=\"open only\r\n"
    "inner= \" blanks kept \" \r\n"
    "empty=\r\n"
    "novalue\r\n"
    "eq=a=b\r\n"
    ";comment=hidden\r\n"
    "; a remark\r\n"
    "tabs=\tx\t\r\n"
    "num=  42abc\r\n"
    "neg=-17\r\n"
    "plus=+8\r\n"
    "letters=abc\r\n"
    "big=4294967297\r\n"
    "qnum=\"12\"\r\n"
    "path=C:\\" "\x95\x5C" "\\dir\r\n"
    "[ db2 ]\r\n"
    "cd LIB\r\n"
    "  get CUSTOMER.CUSTOMER CUSTOMER.DB2  \r\n"
    "\r\n"
    "x = 1\r\n"
    "[Empty]\r\n"
    "[OnlyComments]\r\n"
    ";one\r\n"
    "[QUENVALE]\r\n"
    "later=not seen\r\n"
    "[\x83\x61]\r\n"  // ヂ
    "sec=dji\r\n"
    "[Names]\r\n"
    "\x83\x61=dji\r\n"  // ヂ
    "\x95\x5Ckey=hyo\r\n"  // 表key
    "[Last]\r\n"
    "k=no line end";

struct StringCase {
  const char* comment;
  const char* section;
  const char* key;
  const char* def;
  int size;
  const char* expected;
};

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("Quenvale.ini", kSettings); }
  std::string Path(const char* name = "Quenvale.ini") const { return folder_.path() + name; }
  std::string GetString(const char* section, const char* key, const char* def, int size,
                        const char* file = nullptr) {
    char out[512];
    std::memset(out, '#', sizeof out);
    const std::string path = file ? Path(file) : Path();
    const int n = ProfileGetString(section, key, def, out, size, path.c_str());
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(out));
    // The run's reader parses the bytes in memory: what it finds is what
    // the system gives (on Windows the system's own functions answer).
    std::string parsed;
    if (size == 256 && section != nullptr && key != nullptr &&
        ProfileValue(FileText(path), section, key, &parsed)) {
      EXPECT_EQ(parsed, std::string(out, static_cast<size_t>(n))) << section << "/" << key;
    }
    return std::string(out, static_cast<size_t>(n));
  }
  // The section's bytes as returned, both closing zeros included.
  std::string GetSection(const char* section, int size, int* ret, const char* file = nullptr) {
    char out[512];
    std::memset(out, '#', sizeof out);
    const std::string path = file ? Path(file) : Path();
    *ret = ProfileGetSection(section, out, size, path.c_str());
    if (size == 512 && *ret < size - 2) {
      EXPECT_EQ(ProfileSection(FileText(path), section), std::string(out, static_cast<size_t>(*ret)))
          << section;
    }
    size_t end = 0;
    while (end + 1 < sizeof out && (out[end] != '\0' || out[end + 1] != '\0')) ++end;
    return std::string(out, end + 2);
  }
  static std::string FileText(const std::string& path) {
    std::string bytes;
    ReadFileBytes(path, &bytes);
    return bytes;
  }
  TempFolder folder_;
};

TEST_F(ProfileTest, StringValues) {
  const StringCase cases[] = {
      {"blanks around key and value dropped", "Quenvale", "IPADDRESS", "", 256, "192.168.0.1"},
      {"section and key without regard to case", "quenvale", "ipaddress", "", 256, "192.168.0.1"},
      {"first of two keys differing in case wins", "Quenvale", "User", "", 256, "Alice"},
      {"double quotes dropped", "Quenvale", "quoted", "", 256, "in quotes"},
      {"single quotes dropped", "Quenvale", "single", "", 256, "in single"},
      {"an opening quote alone stays", "Quenvale", "half", "", 256, "\"open only"},
      {"blanks inside quotes stay", "Quenvale", "inner", "", 256, " blanks kept "},
      {"empty value, not the default", "Quenvale", "empty", "DEF", 256, ""},
      {"a line without '=' gives the default", "Quenvale", "novalue", "DEF", 256, "DEF"},
      {"value holds the rest after the first '='", "Quenvale", "eq", "", 256, "a=b"},
      {"tabs are blanks", "Quenvale", "tabs", "", 256, "x"},
      {"double-byte text with trail byte 0x5C", "Quenvale", "path", "", 256,
       "C:\\\x95\x5C\\dir"},
      {"section header with blanks inside the brackets", "DB2", "x", "", 256, "1"},
      {"first of two sections differing in case wins", "Quenvale", "later", "DEF", 256, "DEF"},
      // Double-byte names compare both bytes exactly: ア (0x83 0x41) is not
      // ヂ (0x83 0x61), though the trail bytes differ as 'A' and 'a' do.
      {"double-byte key as written", "Names", "\x83\x61", "DEF", 256, "dji"},
      {"double-byte key: its trail byte is no letter", "Names", "\x83\x41", "DEF", 256, "DEF"},
      {"ASCII letters after a double-byte character fold", "Names", "\x95\x5CKEY", "", 256, "hyo"},
      {"double-byte section as written", "\x83\x61", "sec", "DEF", 256, "dji"},
      {"double-byte section: its trail byte is no letter", "\x83\x41", "sec", "DEF", 256, "DEF"},
      {"lines before the first section form the nameless one", "", "top", "", 256,
       "before any section"},
      {"last line without a line end", "Last", "k", "", 256, "no line end"},
      {"missing key gives the default", "Quenvale", "nokey", "3600", 256, "3600"},
      {"missing section gives the default", "Nowhere", "IPADDRESS", "dflt", 256, "dflt"},
      {"default loses trailing blanks", "Quenvale", "nokey", "  d  ", 256, "  d"},
      {"default in quotes loses them when the file exists", "Quenvale", "nokey", "\"q\"", 256,
       "q"},
      {"null default is empty", "Quenvale", "nokey", nullptr, 256, ""},
      {"value cut to size - 1", "Quenvale", "IPADDRESS", "", 5, "192."},
      {"size 1 leaves only the terminator", "Quenvale", "IPADDRESS", "", 1, ""},
      {"quoted value cut", "Quenvale", "quoted", "", 9, "in quote"},
      {"quoted value one short of its closing quote loses its last letter", "Quenvale", "quoted",
       "", 10, "in quote"},
      {"quoted value that just fits", "Quenvale", "quoted", "", 11, "in quotes"},
      {"default cut too", "Quenvale", "nokey", "abcdef", 4, "abc"},
  };
  for (const StringCase& c : cases) {
    EXPECT_EQ(GetString(c.section, c.key, c.def, c.size), c.expected) << c.comment;
  }
}

TEST_F(ProfileTest, MissingFileGivesDefault) {
  // A missing file in an existing folder reads as an empty file; in a
  // missing folder the default is taken as given, quotes and all.
  EXPECT_EQ(GetString("Quenvale", "IPADDRESS", "\"x\"", 256, "absent.ini"), "x");
  const std::string inMissingFolder = std::string("nofolder") + kPathSep + "absent.ini";
  EXPECT_EQ(GetString("Quenvale", "IPADDRESS", "\"x\"", 256, inMissingFolder.c_str()), "\"x\"");
  EXPECT_EQ(GetString("Quenvale", "IPADDRESS", "abc  ", 256, "absent.ini"), "abc");
  EXPECT_EQ(GetString("Quenvale", "IPADDRESS", "abcdef", 3, "absent.ini"), "ab");
  EXPECT_EQ(ProfileGetInt("Quenvale", "MonthBackup", 7, Path("absent.ini").c_str()), 7);
  int ret = -1;
  EXPECT_EQ(GetSection("DB2", 100, &ret, "absent.ini"), std::string("\0\0", 2));
  EXPECT_EQ(ret, 0);
}

TEST_F(ProfileTest, IntValues) {
  struct IntCase {
    const char* comment;
    const char* key;
    int expected;
  } cases[] = {
      {"leading number, rest ignored", "num", 42},
      {"minus sign", "neg", -17},
      {"plus sign", "plus", 8},
      {"no digits give 0, not the default", "letters", 0},
      {"empty value gives the default", "empty", 99},
      {"missing key gives the default", "nokey", 99},
      {"wraps around 32 bits", "big", 1},
      {"quotes dropped first", "qnum", 12},
  };
  for (const IntCase& c : cases) {
    EXPECT_EQ(ProfileGetInt("Quenvale", c.key, 99, Path().c_str()), c.expected) << c.comment;
  }
}

TEST_F(ProfileTest, SectionEntries) {
  int ret = 0;
  // Blank lines and comments are not delivered; keys and values lose their
  // blanks; quotes stay; a line without '=' comes as it is.
  const std::string quenvale = GetSection("QUENVALE", 512, &ret);
  const std::string expected(
      "IPADDRESS=192.168.0.1\0user=Alice\0USER=second\0quoted=\"in quotes\"\0"
      "single='in single'\0half=\"open only\0inner=\" blanks kept \"\0empty=\0novalue\0"
      "eq=a=b\0tabs=x\0num=42abc\0neg=-17\0plus=+8\0letters=abc\0big=4294967297\0"
      "qnum=\"12\"\0path=C:\\\x95\x5C\\dir\0\0",
      sizeof "IPADDRESS=192.168.0.1\0user=Alice\0USER=second\0quoted=\"in quotes\"\0"
             "single='in single'\0half=\"open only\0inner=\" blanks kept \"\0empty=\0novalue\0"
             "eq=a=b\0tabs=x\0num=42abc\0neg=-17\0plus=+8\0letters=abc\0big=4294967297\0"
             "qnum=\"12\"\0path=C:\\\x95\x5C\\dir\0\0" - 1);
  EXPECT_EQ(quenvale, expected);
  EXPECT_EQ(ret, static_cast<int>(expected.size()) - 1);

  EXPECT_EQ(GetSection("db2", 512, &ret),
            std::string("cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x=1\0\0", 47));
  EXPECT_EQ(ret, 46);
  EXPECT_EQ(GetSection("Empty", 512, &ret), std::string("\0\0", 2));
  EXPECT_EQ(ret, 0);
  EXPECT_EQ(GetSection("OnlyComments", 512, &ret), std::string("\0\0", 2));
  EXPECT_EQ(ret, 0);
  EXPECT_EQ(GetSection("Missing", 512, &ret), std::string("\0\0", 2));
  EXPECT_EQ(ret, 0);
}

TEST_F(ProfileTest, SectionCutToBuffer) {
  // "cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x=1\0\0" is 47 bytes. A cut
  // list ends with two zeros and returns size - 2, even when it just fits.
  struct CutCase {
    const char* comment;
    int size;
    std::string expected;  // bytes up to and including the two closing zeros
    int ret;
  } cases[] = {
      {"room for nothing", 2, std::string("\0\0", 2), 0},
      {"first entry cut to one byte", 3, std::string("c\0\0", 3), 1},
      {"first entry cut in the middle", 6, std::string("cd L\0\0", 6), 4},
      {"first entry whole, no room for more", 8, std::string("cd LIB\0\0", 8), 6},
      {"second entry cut to one byte", 10, std::string("cd LIB\0g\0\0", 10), 8},
      {"last entry cut to its name", 45,
       std::string("cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x\0\0", 45), 43},
      {"last entry cut after its '='", 46,
       std::string("cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x=\0\0", 46), 44},
      {"exactly the size of the list", 47,
       std::string("cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x=1\0\0", 47), 45},
      {"one byte to spare", 48,
       std::string("cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x=1\0\0", 47), 46},
  };
  for (const CutCase& c : cases) {
    int ret = -1;
    const std::string got = GetSection("DB2", c.size, &ret);
    EXPECT_EQ(ret, c.ret) << c.comment;
    EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.comment;
  }
}

TEST_F(ProfileTest, WriteReadsBack) {
  const std::string path = Path();
  // An existing key, a new key in an existing section, a new section.
  EXPECT_NE(ProfileWriteString("Quenvale", "ipaddress", "10.0.0.2", path.c_str()), 0);
  EXPECT_NE(ProfileWriteString("DB2", "Last_MonthBackup", "20240131", path.c_str()), 0);
  EXPECT_NE(ProfileWriteString("New", "Key", "value", path.c_str()), 0);
  EXPECT_EQ(GetString("Quenvale", "IPADDRESS", "", 256), "10.0.0.2");
  EXPECT_EQ(ProfileGetInt("db2", "last_monthbackup", 0, path.c_str()), 20240131);
  EXPECT_EQ(GetString("new", "key", "", 256), "value");
  // The rest still reads as before.
  EXPECT_EQ(GetString("Quenvale", "quoted", "", 256), "in quotes");
  EXPECT_EQ(GetString("Last", "k", "", 256), "no line end");
  int ret = 0;
  EXPECT_EQ(GetSection("DB2", 512, &ret),
            std::string("cd LIB\0get CUSTOMER.CUSTOMER CUSTOMER.DB2\0x=1\0Last_MonthBackup=20240131\0\0",
                        73));
}

TEST_F(ProfileTest, WriteCreatesFile) {
  const std::string path = Path("created.ini");
  EXPECT_NE(ProfileWriteString("Quenvale", "Last_MonthBackup", "20240229", path.c_str()), 0);
  EXPECT_EQ(ProfileGetInt("Quenvale", "Last_MonthBackup", 0, path.c_str()), 20240229);
}

// The run's settings come from one read of the file and one list of rows:
// a bad value is told once, with its row's line, and the row's value for it
// is used.
TEST_F(ProfileTest, SettingsReadOnceFromTheList) {
  folder_.Write("Quenvale.ini",
                "[Quenvale]\r\nIPADDRESS = \"10.0.0.1\"\r\nCsvEncoding=UTF8\r\nWorkers=65\r\n"
                "MonthBackup=2abc\r\nMaxTransferMB=-5\r\nCheckLayout=1\r\n[quenvale]\r\nWorkers=3\r\n"
                "[DB2]\r\n;remark\r\nget A/B.C\r\n");
  Settings settings;
  ErrorText errors;
  LoadSettings(Path().c_str(), &settings, &errors);
  EXPECT_EQ(settings.ipAddress, "10.0.0.1");
  EXPECT_EQ(settings.timeLimit, "3600");
  EXPECT_EQ(settings.csvEncoding, "UTF8");  // kept: the conversion refuses it
  EXPECT_EQ(settings.workers, 1);
  EXPECT_EQ(settings.monthBackup, 2);  // the leading number, as GetPrivateProfileIntA
  EXPECT_EQ(settings.maxTransferMB, "-5");  // kept: the FTP job refuses it
  EXPECT_EQ(settings.checkLayout, 1);
  EXPECT_EQ(settings.db2, std::string("get A/B.C\0", 10));
  EXPECT_STREQ(errors.text(), "  CsvEncodingの値が不正(toCSV)\n  Workersの値が不正なため1で変換します(toCSV)\n");

  // Good values, and a file that is missing: no line.
  for (const char* text : {"[Quenvale]\nWorkers=64\nCsvEncoding=utf-8-bom\n", ""}) {
    if (text[0] == '\0') {
      FileDelete(Path().c_str());
    } else {
      folder_.Write("Quenvale.ini", text);
    }
    errors.Clear();
    Settings again;
    LoadSettings(Path().c_str(), &again, &errors);
    EXPECT_STREQ(errors.text(), "") << text;
    EXPECT_EQ(again.workers, text[0] ? 64 : 0);
  }
}

TEST_F(ProfileTest, SettingsSavedWithAMarkAreReadInTheirEncoding) {
  // As Windows reads them: UTF-8 or UTF-16 after its mark, handed over in
  // code page 932 (表 is 0x95 0x5C).
  const std::string utf8 = "[Quenvale]\r\nBackupDir=D:\\\xE8\xA1\xA8\r\n";
  std::string utf16le = "\xFF\xFE";
  std::string utf16be = "\xFE\xFF";
  for (const char c : std::string("[Quenvale]\r\nBackupDir=D:\\")) {
    utf16le += c, utf16le += '\0';
    utf16be += '\0', utf16be += c;
  }
  utf16le += "\x68\x88";  // U+8868
  utf16be += "\x88\x68";
  for (const std::string& bytes : {"\xEF\xBB\xBF" + utf8, utf16le, utf16be}) {
    folder_.Write("Quenvale.ini", bytes);
    Settings settings;
    LoadSettings(Path().c_str(), &settings);
    EXPECT_EQ(settings.backupDir, "D:\\" + kHyo);
    EXPECT_FALSE(settings.shiftJis);
#if defined(_WIN32)
    EXPECT_EQ(GetString("Quenvale", "BackupDir", "", 256), settings.backupDir);
#endif
  }
}

#if !defined(_WIN32)
// Every row of the list is in both guides' settings tables (a line that
// starts with two blanks and its name, or names it after another's).
TEST(SettingsGuide, EveryRowIsInBothGuides) {
  for (const char* guide : {"GUIDE.en.txt", "GUIDE.ja.txt"}) {
    std::string text;
    ASSERT_TRUE(ReadFileBytes(std::string(QV_SOURCE_DIR "/docs/") + guide, &text)) << guide;
    for (int i = 0; i < kSettingRowCount; ++i) {
      const SettingRow& row = kSettingRows[i];
      bool named = false;
      if (row.type == SettingType::kSection) {
        named = text.find("[" + std::string(row.name) + "]") != std::string::npos;
      }
      for (const char* before : {"\n  ", ", "}) {
        const std::string start = before + std::string(row.name);
        for (size_t at = text.find(start); !named && at != std::string::npos;
             at = text.find(start, at + 1)) {
          const char after = text[at + start.size()];
          named = after == ' ' || after == ',' || after == '\r' || after == '\n';
        }
      }
      EXPECT_TRUE(named) << guide << ": " << row.name;
    }
  }
}
#endif

#if !defined(_WIN32)
// Windows keeps the untouched lines byte for byte; Wine rewrites the whole
// file in its own layout, so these run against our reader only.
TEST_F(ProfileTest, WriteKeepsTheRestOfTheFile) {
  const std::string path = Path();
  struct WriteCase {
    const char* comment;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  } cases[] = {
      {"value replaced in place, spelling and indentation kept",
       "; head\r\n[Quenvale]\r\n  Last_MonthBackup = 1 \r\n\r\n[DB2]\r\ncd X\r\n", "quenvale",
       "last_monthbackup", "20240131",
       "; head\r\n[Quenvale]\r\n  Last_MonthBackup=20240131\r\n\r\n[DB2]\r\ncd X\r\n"},
      {"new key after the section's last line, blank separator kept",
       "[Quenvale]\r\nA=1\r\n\r\n[DB2]\r\ncd X\r\n", "Quenvale", "B", "2",
       "[Quenvale]\r\nA=1\r\nB=2\r\n\r\n[DB2]\r\ncd X\r\n"},
      {"new section appended, file without a final line end",
       "[DB2]\r\ncd X", "Quenvale", "B", "2", "[DB2]\r\ncd X\r\n[Quenvale]\r\nB=2\r\n"},
      {"LF file keeps LF", "[a]\nx=1\n", "a", "y", "2", "[a]\nx=1\ny=2\n"},
      {"key without '=' gets its value", "[a]\r\nx\r\n", "a", "x", "5", "[a]\r\nx=5\r\n"},
      {"empty file", "", "a", "x", "1", "[a]\r\nx=1\r\n"},
  };
  for (const WriteCase& c : cases) {
    folder_.Write("Quenvale.ini", c.before);
    EXPECT_NE(ProfileWriteString(c.section, c.key, c.value, path.c_str()), 0) << c.comment;
    EXPECT_EQ(folder_.Read("Quenvale.ini"), c.after) << c.comment;
  }
  // A line end inside the value would add a line of its own: refused.
  folder_.Write("Quenvale.ini", "[a]\r\n");
  EXPECT_EQ(ProfileWriteString("a", "x", "1\r\n[b]", path.c_str()), 0);
  EXPECT_EQ(folder_.Read("Quenvale.ini"), "[a]\r\n");
}

TEST_F(ProfileTest, OddBytesAreHarmless) {
  // Zero bytes end a name or value, as in the wide strings Windows keeps;
  // lone CR ends a line; brackets without their pair make key lines.
  const char odd[] =
      "[a]\r\nnul=ab\0cd\r\ncr1=x\rcr2=y\r\n[unclosed\r\n[b]]\r\nk=1\r\n"
      "\x1a\x1akey=ctrlz\x1a\r\n";
  folder_.Write("Quenvale.ini", std::string(odd, sizeof odd - 1));
  EXPECT_EQ(GetString("a", "nul", "", 256), "ab");
  EXPECT_EQ(GetString("a", "cr2", "", 256), "y");
  EXPECT_EQ(GetString("b]", "k", "D", 256), "1");
  EXPECT_EQ(GetString("b]", "key", "D", 256), "ctrlz");
  int ret = 0;
  EXPECT_EQ(GetSection("a", 512, &ret), std::string("nul=ab\0cr1=x\0cr2=y\0[unclosed\0\0", 30));
}
#endif

}  // namespace
