// Faults of the folder copy that the program must survive: a source that
// cannot be read, a target that cannot be created and paths past the
// 255-byte limit. Each leaves nothing at the target.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support/test_support.h"
#include "transfer/folder_copy.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

int NoCancel(const char*, const char*) { return 0; }

class CopyFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_CopyProgress;
    g_CopyProgress = NoCancel;
    UseProgramFolder(dir_.path());
  }
  void TearDown() override { g_CopyProgress = saved_; }
  // A folder path without the trailing separator, as CopyDb2Files takes it.
  std::string Folder(const std::string& name) const { return dir_.path() + name; }
  void MakeFolder(const std::string& name) const { std::filesystem::create_directories(Folder(name)); }
  TempFolder dir_;
  int (*saved_)(const char*, const char*) = nullptr;
};

#if !defined(_WIN32)
TEST_F(CopyFaults, SourceThatCannotBeReadGivesCode2AndNoCopy) {
  // /proc/self/mem opens, but reading its first bytes fails (EIO).
  MakeFolder("src");
  MakeFolder("dst");
  ASSERT_EQ(symlink("/proc/self/mem", (Folder("src") + "/MEM.DB2").c_str()), 0);
  EXPECT_EQ(CopyDb2Files(Folder("src").c_str(), Folder("dst").c_str()), kCopyReadFailed);
  EXPECT_FALSE(dir_.Exists("dst/MEM.DB2"));
}
#endif

TEST_F(CopyFaults, TargetBelowARegularFileFailsToOpen) {
  MakeFolder("src");
  dir_.Write(std::string("src") + kPathSep + "A.DB2", "data");
  dir_.Write("plain", "not a folder");
  const std::string target = Folder("plain") + kPathSep + "sub";
  EXPECT_EQ(CopyDb2Files(Folder("src").c_str(), target.c_str()), kCopyOpenFailed);
  EXPECT_FALSE(dir_.Exists(std::string("plain") + kPathSep + "sub" + kPathSep + "A.DB2"));
}

TEST_F(CopyFaults, TargetPathPastTheLimitIsRefusedWhole) {
  // Source and target folders fit; the target folder with the file's name
  // does not: the copy is refused rather than made under a cut name.
  MakeFolder("src");
  dir_.Write(std::string("src") + kPathSep + "LONGNAME.DB2", "data");
  const std::string target = Folder("") + std::string(255 - dir_.path().size() - 4, 'T');
  EXPECT_EQ(CopyDb2Files(Folder("src").c_str(), target.c_str()), kCopyOpenFailed);
  EXPECT_FALSE(std::filesystem::exists(target));
}

}  // namespace
