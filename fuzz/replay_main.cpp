// Runs every file of the given corpus folders (or files) once through the
// fuzz target it is linked with, so the seed corpora are ordinary regression
// tests in every build. A finding aborts (sanitizers) or fails an assertion
// in the target; otherwise the exit code is 0.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

bool RunFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  // A copy of exactly the input's size, so reading past it is caught.
  std::vector<uint8_t> exact(bytes);
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "missing: %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
      DIR* d = opendir(argv[i]);
      while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
      }
      if (d) closedir(d);
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(argv[i]);
    }
    for (const std::string& file : files) {
      if (!RunFile(file)) {
        std::fprintf(stderr, "unreadable: %s\n", file.c_str());
        return 1;
      }
      ++runs;
    }
  }
  std::printf("%d inputs ran\n", runs);
  return runs > 0 ? 0 : 1;
}
