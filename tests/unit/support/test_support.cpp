#include "tests/unit/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/process_state.h"
#include "platform/platform.h"
#include "platform/stream.h"

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = fs::temp_directory_path() / ("qvtest" + std::to_string(rd() % 100000000));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string() + kPathSep;
      return;
    }
  }
  std::abort();
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(fs::path(path_), ec);
}

void TempFolder::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempFolder::Read(const std::string& name) const {
  std::ifstream in(path_ + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TempFolder::Exists(const std::string& name) const {
  std::error_code ec;
  return fs::exists(fs::path(path_ + name), ec);
}

void UseProgramFolder(const std::string& folder) {
  CopyText(g_ProgramFolder, kPathBufferSize, folder.c_str());
  CopyText(g_SettingsPath, kPathBufferSize, folder.c_str());
  AppendText(g_SettingsPath, kPathBufferSize, "Quenvale.ini");
  ClearErrorText();
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
  FILE* f = OpenStream(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->append(buf, n);
  std::fclose(f);
  return true;
}
