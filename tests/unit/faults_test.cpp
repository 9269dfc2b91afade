// Faults of the folder copy and of the temporary files behind every
// replaced file that the program must survive: a source that cannot be
// read, a target that cannot be created, paths past the 255-byte limit, a
// link put in a temporary file's place, a close that fails. Each leaves the
// target as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "base/error_text.h"
#include "base/path.h"
#include "platform/fileio.h"
#include "platform/stream.h"
#include "tests/unit/support/test_support.h"
#include "transfer/folder_copy.h"

#if !defined(_WIN32)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#endif

namespace fs = std::filesystem;

namespace {

class CopyFaults : public ::testing::Test {
 protected:
  // A folder path without the trailing separator, as CopyDb2Files takes it.
  std::string Folder(const std::string& name) const { return dir_.path() + name; }
  void MakeFolder(const std::string& name) const { fs::create_directories(Folder(name)); }
  int Copy(const std::string& source, const std::string& target) {
    return CopyDb2Files(source.c_str(), target.c_str(), &progress_, &errors_);
  }
  // Every path below the test's folder, relative to it.
  std::set<std::string> Contents() const {
    std::set<std::string> names;
    const fs::path root(dir_.path());
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
      names.insert(e.path().lexically_relative(root).string());
    }
    return names;
  }
  TempFolder dir_;
  RecordedProgress progress_;
  ErrorText errors_;
};

const std::string kSep(1, kPathSep);

#if !defined(_WIN32)
TEST_F(CopyFaults, SourceThatCannotBeReadGivesCode2AndNoCopy) {
  // /proc/self/mem opens, but reading its first bytes fails (EIO). It is
  // reached through a link, which only the host folder may hold.
  MakeFolder("src");
  MakeFolder("dst");
  ASSERT_EQ(symlink("/proc/self/mem", (Folder("src") + "/MEM.DB2").c_str()), 0);
  EXPECT_EQ(CopyDb2Files(Folder("src").c_str(), Folder("dst").c_str(), &progress_, &errors_,
                         nullptr, true),
            kCopyReadFailed);
  EXPECT_EQ(Contents(), (std::set<std::string>{"src", "src/MEM.DB2", "dst"}));
  EXPECT_EQ(Copy(Folder("src"), Folder("dst")), kCopyOpenFailed);
}
#endif

TEST_F(CopyFaults, TargetBelowARegularFileFailsToOpen) {
  MakeFolder("src");
  dir_.Write("src" + kSep + "A.DB2", "data");
  dir_.Write("plain", "not a folder");
  EXPECT_EQ(Copy(Folder("src"), Folder("plain") + kSep + "sub"), kCopyOpenFailed);
  // The file where a folder was expected is neither replaced nor touched.
  EXPECT_EQ(dir_.Read("plain"), "not a folder");
  EXPECT_EQ(Contents(), (std::set<std::string>{"plain", "src", "src" + kSep + "A.DB2"}));
}

TEST_F(CopyFaults, TargetPathPastTheLimitIsRefusedWhole) {
  // Source and target folders fit (the target is made, well within what a
  // folder may take); the target folder with the file's name does not: the
  // copy is refused rather than made under a cut name.
  const std::string file = "LONGNAME_LONGNAME.DB2";
  MakeFolder("src");
  dir_.Write("src" + kSep + file, "data");
  const std::string target = Folder(std::string(240 - dir_.path().size(), 'T'));
  ASSERT_EQ(target.size(), 240u);
  ASSERT_TRUE(fs::create_directory(target));
  ASSERT_GT(target.size() + 1 + file.size(), 255u);
  EXPECT_EQ(Copy(Folder("src"), target), kCopyOpenFailed);
  EXPECT_TRUE(fs::is_empty(target));
}

#if !defined(_WIN32)
TEST_F(CopyFaults, LinkRenamedOntoATemporaryFileNeverBecomesTheTarget) {
  // While a copy or a CSV is written, someone renames a link onto its
  // temporary file: the commit refuses (it was the link that got renamed
  // over the target), the target and the link's target stay.
  dir_.Write("victim", "not yours");
  for (const bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "CommitTempStream" : "FileCommit");
    const std::string target = Folder("T.csv");
    dir_.Write("T.csv", "yesterday");
    char temp[kTempPathSize];
    FileHandle file = nullptr;
    FILE* f = nullptr;
    if (stream) {
      f = OpenTempStream(target.c_str(), "wb", temp, sizeof temp);
      ASSERT_NE(f, nullptr);
      std::fputs("today", f);
    } else {
      file = FileCreateTemp(target.c_str(), temp, sizeof temp);
      ASSERT_NE(file, nullptr);
      uint32_t done = 0;
      ASSERT_TRUE(FileWrite(file, "today", 5, &done));
    }
    ASSERT_EQ(symlink(Folder("victim").c_str(), Folder("planted").c_str()), 0);
    ASSERT_EQ(std::rename(Folder("planted").c_str(), temp), 0);
    EXPECT_FALSE(stream ? CommitTempStream(f, temp, target.c_str())
                        : FileCommit(file, temp, target.c_str()));
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(dir_.Read("T.csv"), "yesterday");
    EXPECT_EQ(dir_.Read("victim"), "not yours");
    EXPECT_EQ(Contents(), (std::set<std::string>{"T.csv", "victim"}));
  }
}

// From here on, close(fd) fails with EIO in this process (a file system
// that reports a lost write only at the close, as NFS does).
bool FailCloseOf(int fd) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(CopyFaults, StreamWhoseCloseFailsIsNotCommitted) {
  // fclose's result was not looked at: a CSV whose close failed replaced
  // the previous one. A child process takes the failing close.
  const std::string target = Folder("T.csv");
  dir_.Write("T.csv", "yesterday");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char temp[kTempPathSize];
    FILE* f = OpenTempStream(target.c_str(), "wb", temp, sizeof temp);
    if (f == nullptr || std::fputs("today", f) < 0 || !FailCloseOf(fileno(f))) _exit(2);
    _exit(CommitTempStream(f, temp, target.c_str()) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: committed, 2: the test could not be set up";
  EXPECT_EQ(dir_.Read("T.csv"), "yesterday");
  EXPECT_EQ(Contents(), (std::set<std::string>{"T.csv"}));
}
#endif

}  // namespace
