#include <cstring>

#include "app/startup.h"
#include "base/texts.h"
#include "platform/posix/encoding.h"
#include "platform/process.h"
#include "platform/ui.h"

namespace {

// Far more than a file base name may have.
constexpr size_t kArgBufferSize = 1024;

constexpr char kCaption[] = "Quenvale";

bool Append(char* buf, size_t size, size_t* used, const char* text) {
  const size_t len = std::strlen(text);
  if (*used + len >= size) return false;
  std::memcpy(buf + *used, text, len + 1);
  *used += len;
  return true;
}

}  // namespace

// The Linux entry: the arguments joined with single blanks stand for the
// Windows command line after the program's name, in Shift-JIS.
int main(int argc, char** argv) {
  // No core file with the password in it, whatever befalls the run.
  DisableCrashDumps();
  char joined[kArgBufferSize];
  joined[0] = '\0';
  size_t used = 0;
  bool fits = true;
  for (int i = 1; i < argc && fits; ++i) {
    if (i > 1) fits = Append(joined, sizeof joined, &used, " ");
    fits = fits && Append(joined, sizeof joined, &used, argv[i]);
  }
  // SIGTERM, SIGHUP and Ctrl+C end a run as its cancel does: the log line
  // ends, no partial copy stays, the FTP client is stopped.
  ListenForStop();
  char sjis[kArgBufferSize];
  int result;
  if (!fits) {
    // Far past the 51 characters of a file base name.
    ShowMessageBox(kTextNameTooLong, kCaption, kMbOk);
    result = -1;
  } else if (!Utf8ToSjis(joined, sjis, sizeof sjis)) {
    ShowMessageBox(kTextBadArgument, kCaption, kMbOk);
    result = -1;
  } else {
    // As Windows passes it: blanks and control characters before the first
    // word are not part of the argument string.
    const char* arg = sjis;
    while (*arg != '\0' && static_cast<unsigned char>(*arg) <= 0x20) ++arg;
    result = RunProgram(arg);
  }
  // Exit statuses are 0-255: -1 (cancelled or refused) gives 255, -2 (a
  // batch run with errors) 254, and an error total above 254 gives 254 so
  // it never reads as success or cancel.
  if (result == -2) return 254;
  if (result < 0) return 255;
  if (result > 254) return 254;
  return result;
}
