#include "tests/unit/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/settings_file.h"
#include "base/path.h"
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

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  FILE* f = OpenStream(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written;
}

TestRun::TestRun(const std::string& programFolder)
    : folder_(programFolder), settings_(programFolder + "Quenvale.ini") {}

Settings& TestRun::settings() {
  loaded_ = Settings{};
  LoadSettings(settings_.c_str(), &loaded_);
  return loaded_;
}

int RecordedProgress::Update(const char* caption, const char* text) {
  updates.push_back({caption, text});
  return cancelAt != 0 && updates.size() >= cancelAt ? 1 : 0;
}

std::string Hex(const char* hex) {
  std::string out;
  int high = -1;
  for (const char* p = hex; *p != '\0'; ++p) {
    if (*p == ' ') continue;
    const char c = *p;
    const int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  return out;
}

std::string HexOf(const std::string& bytes) {
  std::string s;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    s += buf;
  }
  return s;
}

std::string Nl(const std::string& text) {
#if defined(_WIN32)
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
#else
  return text;
#endif
}
