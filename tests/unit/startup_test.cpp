// Start-up: the program folder taken from the executable's path, and the
// limits a file base name must keep.
#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "base/path.h"
#include "base/text.h"
#include "base/texts.h"

namespace {

// Paths written with '|' for the platform separator.
std::string P(std::string s) {
  for (char& c : s) {
    if (c == '|') c = kPathSep;
  }
  return s;
}

TEST(Startup, ProgramFolderFromExecutablePath) {
  struct Case {
    const char* comment;
    std::string exePath;
    std::string folder;  // "" with result -1
  } cases[] = {
      {"the expected name", P("C:|Tools|Quenvale|Quenvale.exe"), P("C:|Tools|Quenvale|")},
      {"another name gives the same folder", P("C:|Tools|qv.exe"), P("C:|Tools|")},
      {"a short path the length cut would run before", P("C:|q.exe"), P("C:|")},
      {"root folder", P("|Quenvale.exe"), P("|")},
      // 表 is 0x95 0x5C: its trail byte is no separator, on Windows least of all.
      {"double-byte folder name whose trail byte is 0x5C", P("C:|\x95\x5C|Quenvale.exe"),
       P("C:|\x95\x5C|")},
      {"file name ending in the trail byte 0x5C", P("C:|dir|\x95\x5C"), P("C:|dir|")},
      {"no separator at all", "Quenvale.exe", ""},
      {"empty path", "", ""},
  };
  for (const Case& c : cases) {
    char folder[kPathBufferSize];
    const int n = DeriveProgramFolder(c.exePath.c_str(), folder, sizeof folder);
    EXPECT_EQ(std::string(folder), c.folder) << c.comment;
    EXPECT_EQ(n, c.folder.empty() ? -1 : static_cast<int>(c.folder.size())) << c.comment;
  }
}

TEST(Startup, ProgramFolderNeverOverrunsItsBuffer) {
  const std::string exe = P("C:|abcdefgh|Quenvale.exe");
  char folder[13];
  EXPECT_EQ(DeriveProgramFolder(exe.c_str(), folder, 13), 12);
  EXPECT_EQ(std::string(folder), P("C:|abcdefgh|"));
  // One byte less: the folder and its terminator do not fit.
  EXPECT_EQ(DeriveProgramFolder(exe.c_str(), folder, 12), -1);
  EXPECT_EQ(folder[0], '\0');
}

TEST(Startup, FileBaseNameLimits) {
  const std::string folder = P("C:|Quenvale|");  // 12 characters
  struct Case {
    const char* comment;
    std::string folder;
    std::string name;
    const char* refusal;
  } cases[] = {
      {"an ordinary name", folder, "CUSTOMER", nullptr},
      {"51 characters fill the file base name", folder, std::string(51, 'A'), nullptr},
      {"52 characters do not fit", folder, std::string(52, 'A'), kTextNameTooLong},
      {"double-byte characters count as two", folder, std::string(25, 'A') + std::string(26, '\x88'),
       nullptr},
      {"quotes are part of the name", folder, "\"ABC\"", nullptr},
      {"folder + name + extension of 255 characters fit", std::string(204, 'F'),
       std::string(47, 'N'), nullptr},
      {"one more and the path does not fit", std::string(205, 'F'), std::string(47, 'N'),
       kTextPathTooLong},
      {"a long folder leaves room only for short names", std::string(249, 'F'), "AB", nullptr},
      {"and refuses longer ones", std::string(249, 'F'), "ABC", kTextPathTooLong},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RefuseFileBaseName(c.folder.c_str(), c.name.c_str()), c.refusal) << c.comment;
  }
}

}  // namespace
