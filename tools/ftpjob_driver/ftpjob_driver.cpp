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

#include "app/settings_file.h"
#include "base/error_text.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/module.h"
#include "transfer/ftp_job.h"
#include "transfer/watched_process.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ftpjob_driver check <address> | run | watch <program> [args]\n");
    return 2;
  }
  char programFolder[kPathBufferSize];
  if (const char* folder = std::getenv("QV_PROGRAM_FOLDER")) {
    CopyText(programFolder, kPathBufferSize, folder);
  } else {
    GetExecutablePath(programFolder, kPathBufferSize);
    programFolder[FileNameStart(programFolder)] = '\0';
  }
  char settingsPath[kPathBufferSize];
  CopyText(settingsPath, kPathBufferSize, programFolder);
  AppendText(settingsPath, kPathBufferSize, "Quenvale.ini");
  static ErrorText errors;
  static Settings settings;
  LoadSettings(settingsPath, &settings);
  const JobContext job{programFolder, settingsPath, &errors, &settings};

  int result = 0;
  if (std::strcmp(argv[1], "check") == 0 && argc >= 3) {
    result = CheckHost(argv[2]);
  } else if (std::strcmp(argv[1], "run") == 0) {
    result = RunFtpJob(job);
  } else if (std::strcmp(argv[1], "watch") == 0 && argc >= 3) {
    result = RunWatchedProcess(settings, argv[2], argc >= 4 ? argv[3] : "");
  } else {
    std::fprintf(stderr, "unknown operation\n");
    return 2;
  }
  std::printf("result %d\n%s", result, errors.text());
  std::fflush(stdout);
  return result == 0 ? 0 : 1;
}
