// Copies every *.DB2 file of one folder into another with CopyDb2Files, as
// the batch run does, but with no progress window open (the progress call
// then returns at once). Prints the copy result.
//
//   copy_bench SOURCE_FOLDER TARGET_FOLDER
#include <cstdio>

#include "base/error_text.h"
#include "base/progress.h"
#include "transfer/folder_copy.h"

namespace {

// No window: nothing shown, never cancelled.
class NoWindow : public Progress {
 public:
  int Update(const char*, const char*) override { return 0; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: copy_bench SOURCE_FOLDER TARGET_FOLDER\n");
    return 2;
  }
  NoWindow progress;
  static ErrorText errors;
  const int result = CopyDb2Files(argv[1], argv[2], &progress, &errors);
  std::printf("%d\n", result);
  return result == 0 ? 0 : 1;
}
