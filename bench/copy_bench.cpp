// Copies every *.DB2 file of one folder into another with CopyDb2Files, as
// the batch run does, but with no progress window open (the progress call
// then returns at once). Prints the copy result.
//
//   copy_bench SOURCE_FOLDER TARGET_FOLDER
#include <cstdio>

#include "transfer/folder_copy.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: copy_bench SOURCE_FOLDER TARGET_FOLDER\n");
    return 2;
  }
  const int result = CopyDb2Files(argv[1], argv[2]);
  std::printf("%d\n", result);
  return result == 0 ? 0 : 1;
}
