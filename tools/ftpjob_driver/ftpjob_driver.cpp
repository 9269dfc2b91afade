// Test driver for the FTP job and the watched process: runs one operation
// the way the batch run would, in the folder of this executable (or the
// folder named by QV_PROGRAM_FOLDER), and prints its result and the error
// lines it left.
//
//   ftpjob_driver check <address>          CheckHost
//   ftpjob_driver run                      RunFtpJob
//   ftpjob_driver watch <program> [args]   RunWatchedProcess
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/process_state.h"
#include "platform/module.h"
#include "platform/platform.h"
#include "transfer/ftp_job.h"
#include "transfer/watched_process.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ftpjob_driver check <address> | run | watch <program> [args]\n");
    return 2;
  }
  if (const char* folder = std::getenv("QV_PROGRAM_FOLDER")) {
    CopyText(g_ProgramFolder, kPathBufferSize, folder);
  } else {
    GetExecutablePath(g_ProgramFolder, kPathBufferSize);
    char* sep = std::strrchr(g_ProgramFolder, kPathSep);
    if (sep != nullptr) sep[1] = '\0';
  }
  CopyText(g_SettingsPath, kPathBufferSize, g_ProgramFolder);
  AppendText(g_SettingsPath, kPathBufferSize, "Quenvale.ini");

  int result = 0;
  if (std::strcmp(argv[1], "check") == 0 && argc >= 3) {
    result = CheckHost(argv[2]);
  } else if (std::strcmp(argv[1], "run") == 0) {
    result = RunFtpJob();
  } else if (std::strcmp(argv[1], "watch") == 0 && argc >= 3) {
    result = RunWatchedProcess(argv[2], argc >= 4 ? argv[3] : "");
  } else {
    std::fprintf(stderr, "unknown operation\n");
    return 2;
  }
  std::printf("result %d\n%s", result, ErrorText());
  std::fflush(stdout);
  return result == 0 ? 0 : 1;
}
