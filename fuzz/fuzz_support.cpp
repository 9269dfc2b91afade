#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings_file.h"

namespace {

char s_Folder[256];

void RemoveTree(const std::string& path) {
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      const std::string child = path + "/" + e->d_name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

void RemoveFolder() {
  std::string path(s_Folder);
  if (!path.empty()) RemoveTree(path.substr(0, path.size() - 1));
}

}  // namespace

const char* FuzzProgramFolder() {
  if (s_Folder[0] == '\0') {
    struct stat st;
    const char* base = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : nullptr;
    if (base == nullptr) base = std::getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    std::string tmpl = std::string(base) + "/qvfuzzXXXXXX";
    if (tmpl.size() + 2 > sizeof s_Folder) std::abort();
    std::strcpy(s_Folder, tmpl.c_str());
    if (mkdtemp(s_Folder) == nullptr) std::abort();
    std::strcat(s_Folder, "/");
    std::atexit(RemoveFolder);
  }
  return s_Folder;
}

void FuzzWriteFile(const char* folder, const char* name, const void* data, size_t size) {
  const std::string path = std::string(folder) + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
}

long FuzzReadFile(const char* folder, const char* name, char* buf, size_t size) {
  const std::string path = std::string(folder) + name;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  const size_t n = std::fread(buf, 1, size, f);
  std::fclose(f);
  return static_cast<long>(n);
}

size_t FuzzFind(const uint8_t* data, size_t size, const char* mark) {
  const size_t m = std::strlen(mark);
  if (m == 0 || size < m) return size;
  for (size_t i = 0; i + m <= size; ++i) {
    if (std::memcmp(data + i, mark, m) == 0) return i;
  }
  return size;
}

void FuzzSettings(const void* text, size_t size, Settings* settings) {
  FuzzWriteFile(FuzzProgramFolder(), "Quenvale.ini", text, size);
  *settings = Settings{};
  LoadSettings((std::string(FuzzProgramFolder()) + "Quenvale.ini").c_str(), settings);
}
