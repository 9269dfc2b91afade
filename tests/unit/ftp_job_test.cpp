#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "base/path.h"
#include "base/text.h"
#include "platform/fileio.h"
#include "tests/unit/support/test_support.h"
#include "transfer/db2_line.h"
#include "transfer/ftp_job.h"

namespace {

#if defined(_WIN32)
const char kFolder[] = "D:\\Conv\\";
const std::string kEol = "\r\n";
#else
const char kFolder[] = "/srv/conv/";
const std::string kEol = "\n";
#endif

// The quoted local path of an entry in kFolder's transfer folder.
std::string Local(const std::string& entry, const std::string& folder = kFolder) {
  return "\"" + folder + "DB2" + kPathSep + entry + ".DB2\"";
}

// Script lines, and refused names as "refused <name>".
struct Collect : FtpScriptSink {
  std::vector<std::string> lines;
  void Line(const char* line) override { lines.push_back(line); }
  void Refused(const char* name) override { lines.push_back(std::string("refused ") + name); }
};

std::vector<std::string> Walk(const std::string& section, const char* folder = kFolder) {
  Collect collect;
  WriteFtpCommands(section.data(), static_cast<int>(section.size()), folder, &collect);
  return collect.lines;
}

// One [DB2] line as a section of its own.
std::vector<std::string> WalkLine(const std::string& line) { return Walk(line + '\0' + '\0'); }

// What the conversion list makes of a line where the script line does not
// tell it (see LineCase::conversion).
const char kAsScript[] = "<the script's entry>";
const char kNone[] = "<no name>";
const char kTooLong[] = "<too long>";

// One [DB2] line and what each of its two uses makes of it: the FTP script
// line, and the conversion list's entry name (a file base name, at most 51
// bytes). By default the conversion entry is the name the script line
// stores the image under (or refuses), and none when it names none.
struct LineCase {
  std::string db2Line;
  std::string scriptLine;  // empty: the line gives no script line
  std::string conversion = kAsScript;
};

const std::string k107 = "get QGPL/" + std::string(49, 'F') + "." + std::string(48, 'M');

const LineCase kLineCases[] = {
    // The worked examples.
    {"cd QGPL", "cd QGPL"},
    {"get QGPL/CUSTOMER.CUSTOMER", "get QGPL/CUSTOMER.CUSTOMER " + Local("CUSTOMER")},
    {"GET QGPL/ORDERS.ORD2011", "GET QGPL/ORDERS.ORD2011 " + Local("ORDERS_ORD2011")},
    {"put QGPL/PRICES.PRICES", "put " + Local("PRICES") + " QGPL/PRICES.PRICES"},
    {"get CUSTOMER.CUSTOMER", "get CUSTOMER.CUSTOMER " + Local("CUSTOMER")},
    {"get QGPL/CUSTOMER", ""},
    {"mget *", ""},
    // Lines without a command word only name a file to convert: the text
    // after the first slash, a slash opening the line left out.
    {"QGPL/CUSTOMER.CUSTOMER", "", "CUSTOMER"},
    {"/PRODLIB/ITEMS.M1", "", "ITEMS_M1"},
    {"/ITEMS.M1", "", kNone},
    {"", "", kNone},
    // Command words in any case keep their case.
    {"CD lib", "CD lib"},
    {"Get QGPL/A.B", "Get QGPL/A.B " + Local("A_B")},
    {"PUT QGPL/X.Y", "PUT " + Local("X_Y") + " QGPL/X.Y"},
    {"pUt QGPL/X.X", "pUt " + Local("X") + " QGPL/X.X"},
    // Names equal but for case: the member's spelling.
    {"get QGPL/Customer.CUSTOMER", "get QGPL/Customer.CUSTOMER " + Local("CUSTOMER")},
    {"get QGPL/CUSTOMER.Customer", "get QGPL/CUSTOMER.Customer " + Local("Customer")},
    // A slash right after "get " is not searched; the name part starts there.
    {"get /CUST.CUST", "refused /CUST_CUST"},
    {"get /LIB/CUST.CUST", "get /LIB/CUST.CUST " + Local("CUST")},
    // Lines other than get lines keep the first slash in the conversion list.
    {"put /LIB/CUST.CUST", "put " + Local("CUST") + " /LIB/CUST.CUST", "LIB/CUST_CUST"},
    {"get LIB/SUB/X.Y", "refused SUB/X_Y"},
    {"get 表/X.Y", "get 表/X.Y " + Local("X_Y")},  // the trail byte 0x5C of 表 is no slash
    // Without a slash, blanks before the name are skipped.
    {"get    QGPL.X", "get    QGPL.X " + Local("QGPL_X")},
    // The member runs to the end of the line; a blank in it would make the
    // client take the word after it for the local file (it once wrote
    // victim.txt in the working folder).
    {"get QGPL/CUSTOMER.CUSTOMER extra", "refused CUSTOMER_CUSTOMER extra"},
    {"get LIB/FILE.MBR victim.txt", "refused FILE_MBR victim.txt"},
    // One word after the command: a blank or TAB before the slash made the
    // client fetch QGPL into X/OUT.TXT or replace victim.exe in the working
    // folder. The refusal shows the words; the conversion list leaves the
    // get line out (HasOneRemoteWord).
    {"get QGPL X/OUT.TXT", "refused QGPL X/OUT.TXT", "OUT_TXT"},
    {"get QGPL\tX/OUT.TXT", "refused QGPL\tX/OUT.TXT", "OUT_TXT"},
    {"get QGPL ./victim.exe", "refused QGPL ./victim.exe", "victim_exe"},
    {"put QGPL X/OUT.TXT", "refused QGPL X/OUT.TXT", "OUT_TXT"},
    {"get \"QGPL\"X/A.A", "refused \"QGPL\"X/A.A", "A"},
    // Only the first dot divides.
    {"get QGPL/A.B.C", "get QGPL/A.B.C " + Local("A_B.C")},
    // put keeps the blanks after its command word in the remote part.
    {"put  QGPL/A.A", "put " + Local("A") + "  QGPL/A.A"},
    // Double-byte names: both bytes of a character compare exactly (ア 0x83
    // 0x41, ヂ 0x83 0x61); half-width katakana are single bytes.
    {"get QGPL/表.表", "get QGPL/表.表 " + Local("表")},
    {"get LIB/ア.ヂ", "get LIB/ア.ヂ " + Local("ア_ヂ")},
    {"get LIB/ｶa.ｶA", "get LIB/ｶa.ｶA " + Local("ｶA")},
    {"get LIB/Ａ.ａ", "get LIB/Ａ.ａ " + Local("Ａ_ａ")},  // full-width letters are no ASCII
    // Too short or not a command word with its blank.
    {"get ", ""},
    {"get", ""},
    {"getQGPL/A.A", "", "A"},
    {"cd", ""},
    {"cd ", "cd "},
    {"cdQGPL", ""},
    {"get .", "get . " + Local("")},  // empty file and member are equal
    // The work copy holds 107 characters; longer lines are left out. The
    // conversion list takes names of up to 51 bytes.
    {k107, k107 + " " + Local(std::string(49, 'F') + "_" + std::string(48, 'M')), kTooLong},
    {k107 + "M", "", kTooLong},
    {"put " + std::string(200, 'P') + ".P", ""},
    {"get LIB/" + std::string(51, 'M') + "." + std::string(51, 'M'), "", std::string(51, 'M')},
    {"get LIB/F." + std::string(49, 'M'),
     "get LIB/F." + std::string(49, 'M') + " " + Local("F_" + std::string(49, 'M'))},
    {"get LIB/F." + std::string(50, 'M'),
     "get LIB/F." + std::string(50, 'M') + " " + Local("F_" + std::string(50, 'M')), kTooLong},
    // Names that would leave the transfer folder or break the script line
    // are refused (they once wrote files anywhere).
    {"get LIB/X./../../../victim/f", "refused X_/../../../victim/f"},
    {"get LIB/A.A \"/tmp/x\"", "refused A_A \"/tmp/x\""},
    {"put LIB/A.B\\C", "refused A_B\\C"},
    {"get LIB/A.B\x01", "refused A_B\x01"},
    {"get LIB/表.表\\", "refused 表_表\\"},
    {"get LIB/ソ.ソ", "get LIB/ソ.ソ " + Local("ソ")},  // trail byte 0x5C is no backslash
    // A lead byte shields only a valid trail byte (a TAB once got past it).
    {"get LIB/A.B\x81\tC", "refused A_B\x81\tC"},
    {"get LIB/A.B\x81", "get LIB/A.B\x81 " + Local("A_B\x81")},
};

// The entry name a script line stores its image under or refuses.
std::optional<std::string> ScriptEntry(const std::string& scriptLine) {
  if (scriptLine.rfind("refused ", 0) == 0) return scriptLine.substr(8);
  const std::string local = "\"" + std::string(kFolder) + "DB2" + kPathSep;
  const size_t at = scriptLine.find(local);
  if (at == std::string::npos) return std::nullopt;
  const size_t start = at + local.size();
  return scriptLine.substr(start, scriptLine.find('"', start) - 4 - start);
}

// The script line of each [DB2] line and its conversion list entry. A get
// line is converted under the very name its image is stored under (a get
// line once was converted under a name of its own rule).
TEST(Db2Line, OneLineTable) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.db2Line);
    const std::vector<std::string> lines = WalkLine(c.db2Line);
    std::optional<std::string> stored;
    if (c.scriptLine.empty()) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], c.scriptLine);
      stored = ScriptEntry(c.scriptLine);
    }

    std::string expected = c.conversion;
    if (expected == kAsScript) expected = stored ? *stored : kNone;
    char entry[kFileBaseNameSize];
    const int found = ConversionEntryName(c.db2Line.c_str(), entry, sizeof entry);
    if (expected == kNone || expected == kTooLong) {
      EXPECT_EQ(found, expected == kNone ? kNoName : kNameTooLong);
      EXPECT_STREQ(entry, "");
    } else {
      EXPECT_EQ(found, kNameFound);
      EXPECT_EQ(entry, expected);
    }

    // Whatever the conversion list can hold, a get line's entry is the
    // script's, refused or not.
    if (CommandOf(c.db2Line.c_str()) != Db2Command::kGet || !stored) continue;
    if (!HasOneRemoteWord(c.db2Line.c_str())) continue;
    char wide[kFtpWorkLineSize];
    EXPECT_EQ(ConversionEntryName(c.db2Line.c_str(), wide, sizeof wide), kNameFound);
    EXPECT_EQ(wide, *stored);
  }
}

// A section cut by the buffer ends in a piece of a line ("get QGPL/ORDERS.O"),
// which once passed for a name in both walks: it is left out.
TEST(ReadDb2Section, LeavesOutTheLineTheBufferCuts) {
  TempFolder folder;
  TestRun run(folder.path());
  for (const int size : {3000, kMaxDb2SectionSize}) {
    SCOPED_TRACE(size);
    for (const int shift : {-1, 0, 1}) {
      // The last line ends (with its zero) at index size - 2 + shift.
      const std::string last = "get QGPL/ORDERS.ORD2011";
      const int before = size - 2 + shift - static_cast<int>(last.size());
      std::string section = "[DB2]\r\n";
      std::string expected;
      int filled = 0;
      for (int i = 0; filled < before; ++i) {
        std::string line = "cd L" + std::to_string(i);
        if (before - filled - static_cast<int>(line.size()) - 1 < 6) line.resize(before - filled - 1, 'x');
        section += line + "\r\n";
        expected += line + '\0';
        filled += static_cast<int>(line.size()) + 1;
      }
      ASSERT_EQ(filled, before);
      section += last + "\r\nget QGPL/MORE.MORE\r\n";
      if (shift <= 0) expected += last + '\0';
      folder.Write("Quenvale.ini", section);
      std::vector<char> out(static_cast<size_t>(size), '\x7F');
      EXPECT_FALSE(ReadDb2Section(out.data(), size, run.settings().db2)) << shift;  // told
      EXPECT_EQ(std::string(out.data(), expected.size() + 1), expected + '\0') << shift;
    }
  }
}

TEST(WriteFtpCommands, SectionOrderAndOtherLines) {
  const std::string section = std::string("QGPL/CUSTOMER.CUSTOMER") + '\0' + "cd QGPL" + '\0' +
                              "mget *" + '\0' + "get QGPL/A.A" + '\0' + "put QGPL/B.C" + '\0' +
                              '\0' + "cd AFTER_THE_END" + '\0' + '\0';
  const std::vector<std::string> expected = {
      "cd QGPL", "get QGPL/A.A " + Local("A"), "put " + Local("B_C") + " QGPL/B.C"};
  EXPECT_EQ(Walk(section), expected);
}

TEST(WriteFtpCommands, StaysInsideTheBuffer) {
  // No empty line at the end: an unterminated last line is dropped.
  EXPECT_EQ(Walk(std::string("cd A") + '\0' + "cd B"), std::vector<std::string>{"cd A"});
  EXPECT_TRUE(Walk(std::string("cd A")).empty());
  EXPECT_TRUE(Walk(std::string()).empty());
  // A cd line as long as the section may be is copied whole.
  const std::string longCd = "cd " + std::string(9000, 'L');
  EXPECT_EQ(Walk(longCd + '\0' + '\0'), std::vector<std::string>{longCd});
}

TEST(WriteFtpCommands, LongProgramFolder) {
  const std::string folder = std::string(254, 'p') + kPathSep;
  // The longest line the work copy takes, 107 characters.
  const std::string line = "get L/" + std::string(99, 'N') + ".N";
  EXPECT_EQ(Walk(line + '\0' + '\0', folder.c_str()),
            std::vector<std::string>{line + " " + Local(std::string(99, 'N') + "_N", folder)});
}

// RunFtpJob writes the script from the settings file. Its client start does
// not matter here: the settings name no host, and the limit is at once.
class RunFtpJobTest : public ::testing::Test {
 protected:
  std::string Script() const { return folder_.Read("ftparg.txt"); }
  TempFolder folder_;
  TestRun run_{folder_.path()};
};

TEST_F(RunFtpJobTest, WritesTheScriptByteForByte) {
  folder_.Write("Quenvale.ini",
                "[Quenvale]\r\nUSER=QUSER\r\nPASSWORD=pass word\r\nTimeLimit=0\r\n"
                "[DB2]\r\ncd QGPL\r\nget QGPL/CUSTOMER.CUSTOMER\r\nGET QGPL/ORDERS.ORD2011\r\n"
                "QGPL/ORDERS.ORD2011\r\nput QGPL/PRICES.PRICES\r\nget QGPL/NODOT\r\n");
  EXPECT_EQ(RunFtpJob(run_.job()), -1);  // no address: the client is not started
  const std::string f = folder_.path();
  // The password line is blanked once the client has been run.
  EXPECT_EQ(Script(), "QUSER" + kEol + "         " + kEol + "binary" + kEol + "cd QGPL" + kEol +
                          "get QGPL/CUSTOMER.CUSTOMER " + Local("CUSTOMER", f) + kEol +
                          "GET QGPL/ORDERS.ORD2011 " + Local("ORDERS_ORD2011", f) + kEol +
                          "put " + Local("PRICES", f) + " QGPL/PRICES.PRICES" + kEol + "quit" +
                          kEol);
  EXPECT_TRUE(folder_.Exists("DB2"));
#if !defined(_WIN32)
  struct stat st;
  ASSERT_EQ(stat((f + "ftparg.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the password is no one else's to read";
#endif
}

TEST(IsDottedIPv4, OnlyAnAddressAndNothingElse) {
  for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.1.22.133"}) {
    EXPECT_TRUE(IsDottedIPv4(good)) << good;
  }
  // "127.0.0.1 -s:e.txt" once made the client run another script.
  for (const char* bad : {"", "127.0.0.1 -s:e.txt", "127.0.0.1 ", " 127.0.0.1", "127.0.0", "1.2.3.4.5",
                          "256.0.0.1", "1..2.3", "0001.1.1.1",
                          // Leading zeros: some resolvers read 010 as octal.
                          "127.000.000.001", "010.0.0.1", "1.2.3.00", "1.2.3.x", "localhost", "::1",
                          "\\\\server\\share", "1.2.3.4\n"}) {
    EXPECT_FALSE(IsDottedIPv4(bad)) << bad;
    EXPECT_EQ(CheckHost(bad), -1) << bad;
  }
}

TEST_F(RunFtpJobTest, NoCommandsAndNoLogOnGiveFourLines) {
  folder_.Write("Quenvale.ini", "[Quenvale]\r\nTimeLimit=0\r\n[DB2]\r\nQGPL/A.A\r\nLIB/B.C\r\n");
  EXPECT_EQ(RunFtpJob(run_.job()), -1);
  EXPECT_EQ(Script(), kEol + kEol + "binary" + kEol + "quit" + kEol);
}

TEST_F(RunFtpJobTest, ReplacesAnEarlierScriptAndKeepsAnExistingFolder) {
  folder_.Write("ftparg.txt", std::string(5000, 'x'));
  folder_.Write("Quenvale.ini", "[Quenvale]\r\nTimeLimit=0\r\nUSER=u\r\nPASSWORD=p\r\n");
  EXPECT_EQ(RunFtpJob(run_.job()), -1);
  EXPECT_EQ(RunFtpJob(run_.job()), -1);
  EXPECT_EQ(Script(), "u" + kEol + " " + kEol + "binary" + kEol + "quit" + kEol);
}

TEST_F(RunFtpJobTest, ScriptThatCannotBeCreatedEndsTheJob) {
  // The program folder does not exist: neither the transfer folder nor the
  // script can be made.
  TestRun missing(folder_.path() + "missing" + kPathSep);
  EXPECT_EQ(RunFtpJob(missing.job()), -1);
  EXPECT_FALSE(folder_.Exists("missing"));
  EXPECT_STREQ(missing.errors.text(), "  ftparg.txtを作成できないため取得しません(RunFtpJob)\n");
}

// TLS asked for in a way the client cannot follow, or without our client
// beside the program: refused with its line, and nothing touched.
TEST_F(RunFtpJobTest, FtpsThatCannotBeFollowedTouchesNothing) {
  const std::string f = folder_.path();
  const struct {
    std::string settings;
    std::string line;
  } cases[] = {
      {"FTPS=tls\r\n", "  FTPSの値が不正なため取得しません(RunFtpJob)\n"},
      {"FTPS=explicit\r\nFTPSFingerprint=12:34\r\n",
       "  FTPSFingerprintの値が不正なため取得しません(RunFtpJob)\n"},
      {"FTPS=Implicit\r\n", "  " + f + "ftp.exeがないため取得しません(RunFtpJob)\n"},
      // A pin without TLS once fetched in clear, the password on the network.
      {"FTPSFingerprint=" + std::string(64, 'a') + "\r\n",
       "  FTPSFingerprintはFTPSがexplicitかimplicitのときだけ使えるため取得しません(RunFtpJob)\n"},
      {"MaxTransferMB=4G\r\n", "  MaxTransferMBの値が不正なため取得しません(RunFtpJob)\n"},
      {"MaxTransferMB=-1\r\n", "  MaxTransferMBの値が不正なため取得しません(RunFtpJob)\n"},
      {"FTPS=none\r\nFTPSFingerprint=12:34\r\n",
       "  FTPSFingerprintはFTPSがexplicitかimplicitのときだけ使えるため取得しません(RunFtpJob)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    TestRun run(f);
    folder_.Write("Quenvale.ini", std::string("[Quenvale]\r\nUSER=u\r\nPASSWORD=p\r\nIPADDRESS=127.0.0.1\r\n") +
                                      c.settings + "[DB2]\r\nget QGPL/A.A\r\n");
    EXPECT_EQ(RunFtpJob(run.job()), -1);
    EXPECT_EQ(run.errors.text(), c.line);
    EXPECT_FALSE(folder_.Exists("ftparg.txt"));
    EXPECT_FALSE(folder_.Exists("DB2"));
  }
}

// A program folder so long that the client's command line passes 255
// characters: nothing could be started, and the log said nothing.
TEST_F(RunFtpJobTest, CommandLineTooLongIsLogged) {
  const std::string f = folder_.path() + std::string(236 - folder_.path().size(), 'd') + kPathSep;
  ASSERT_EQ(CreateFolder(f.c_str()), 0);
  TestRun run(f);
  std::FILE* settings = std::fopen((f + "Quenvale.ini").c_str(), "wb");
  ASSERT_NE(settings, nullptr);
  std::fputs("[Quenvale]\r\nUSER=u\r\nPASSWORD=p\r\nIPADDRESS=127.0.0.1\r\n", settings);
  std::fclose(settings);
  EXPECT_EQ(RunFtpJob(run.job()), 0);
  EXPECT_STREQ(run.errors.text(), "  ftp.exeの起動行が255文字を超えるため取得しません(RunFtpJob)\n");
}

#if !defined(_WIN32)
// A planted link was refused, but the log said only that nothing was fetched.
TEST_F(RunFtpJobTest, PlantedScriptLinkIsRefusedWithItsReason) {
  folder_.Write("victim", "keep");
  ASSERT_EQ(symlink((folder_.path() + "victim").c_str(), (folder_.path() + "ftparg.txt").c_str()), 0);
  folder_.Write("Quenvale.ini", "[Quenvale]\r\nUSER=u\r\nPASSWORD=p\r\nIPADDRESS=127.0.0.1\r\n");
  EXPECT_EQ(RunFtpJob(run_.job()), -1);
  EXPECT_STREQ(run_.errors.text(), "  ftparg.txtがリンクのため取得しません(RunFtpJob)\n");
  EXPECT_EQ(folder_.Read("victim"), "keep");
}

// The script was emptied in place: a hard link planted as ftparg.txt got
// the password. It is now written to a temporary file and renamed.
TEST_F(RunFtpJobTest, ScriptIsNeverWrittenThroughAHardLink) {
  folder_.Write("victim", "keep");
  ASSERT_EQ(link((folder_.path() + "victim").c_str(), (folder_.path() + "ftparg.txt").c_str()), 0);
  folder_.Write("Quenvale.ini", "[Quenvale]\r\nUSER=u\r\nPASSWORD=secret\r\n");
  EXPECT_EQ(RunFtpJob(run_.job()), -1);  // no address
  EXPECT_EQ(folder_.Read("victim"), "keep");
  EXPECT_EQ(folder_.Read("ftparg.txt"), "u\n      \nbinary\nquit\n");
}
#endif

// A run killed while its client worked left the password in ftparg.txt
// until the next job: the next run blanks it first of all.
TEST_F(RunFtpJobTest, ScriptLeftByAKilledRunIsBlanked) {
  folder_.Write("ftparg.txt", "QUSER\r\nsecret\r\nbinary\r\nquit\r\n");
  BlankScriptPassword(folder_.path().c_str());
  EXPECT_EQ(folder_.Read("ftparg.txt"), "QUSER\r\n      \r\nbinary\r\nquit\r\n");
  folder_.Write("ftparg.txt", "QUSER");  // cut short: nothing to blank
  BlankScriptPassword(folder_.path().c_str());
  EXPECT_EQ(folder_.Read("ftparg.txt"), "QUSER");
}

}  // namespace
