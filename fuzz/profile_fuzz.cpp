// The POSIX settings reader over arbitrary file bytes, and the run's
// in-memory reader held beside it.
//
// Input: one byte choosing a buffer size, a section name and a key name
// (each ended by a zero byte, at most 40 bytes), then the file's bytes.
// Reads go through buffers of exactly the chosen size on the heap; a write
// must keep every other section and key as it was, and be read back.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "base/profile_text.h"
#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

namespace {

constexpr int kSizes[] = {1, 2, 3, 4, 5, 8, 16, 30, 256, 3000};
constexpr size_t kNameMax = 40;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "profile: %s\n", what);
    std::abort();
  }
}

// Takes a zero-terminated name of at most kNameMax bytes off the input.
void TakeName(const uint8_t*& data, size_t& size, char* name) {
  size_t n = 0;
  while (n < size && n < kNameMax && data[n] != 0) ++n;
  std::memcpy(name, data, n);
  name[n] = '\0';
  const size_t used = n < size ? n + 1 : n;
  data += used;
  size -= used;
}

// Letters, digits and '_': a name that reads back unchanged.
bool Plain(const char* name) {
  if (name[0] == '\0') return false;
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

bool SameIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// A string read into a heap buffer of exactly size bytes; the result must be
// terminated within it and agree with the returned count.
int GetString(const char* section, const char* key, char* copy, int size, const char* file) {
  char* out = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  const int n = ProfileGetString(section, key, "dflt", out, size, file);
  Check(n >= 0 && n < size, "string count outside the buffer");
  Check(std::strlen(out) == static_cast<size_t>(n), "string count differs from its text");
  if (copy) std::memcpy(copy, out, static_cast<size_t>(n) + 1);
  std::free(out);
  return n;
}

// A section read into exactly size bytes: its entries must end within it.
int GetSection(const char* section, char* copy, int size, const char* file) {
  char* out = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  const int n = ProfileGetSection(section, out, size, file);
  Check(n >= 0 && n < size, "section count outside the buffer");
  // Whole: ... entry 0, final 0. Cut: the cut entry, then two zero bytes.
  Check(out[n] == '\0' && (n == 0 || out[n - 1] == '\0' || (n + 1 < size && out[n + 1] == '\0')),
        "section list not ended");
  if (copy) std::memcpy(copy, out, static_cast<size_t>(n) + 1);
  std::free(out);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* folder = FuzzProgramFolder();
  if (size < 1) return 0;
  const int bufSize = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
  ++data;
  --size;
  char section[kNameMax + 1], key[kNameMax + 1];
  TakeName(data, size, section);
  TakeName(data, size, key);
  FuzzWriteFile(folder, "Quenvale.ini", data, size);
  char path[512];
  std::snprintf(path, sizeof path, "%sQuenvale.ini", folder);

  // Reads with the chosen buffer size.
  GetString(section, key, nullptr, bufSize, path);
  GetSection(section, nullptr, bufSize, path);
  ProfileGetInt(section, key, 7, path);

  // The run's in-memory reader gives what the file reader gives whole.
  {
    static char whole[3000];
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string value;
    const int n = GetString(section, key, whole, sizeof whole, path);
    if (n < static_cast<int>(sizeof whole) - 1 && ProfileValue(text, section, key, &value)) {
      Check(value.size() == static_cast<size_t>(n) && std::memcmp(value.data(), whole, value.size()) == 0,
            "in-memory value differs");
    }
    const int m = GetSection(section, whole, sizeof whole, path);
    if (m < static_cast<int>(sizeof whole) - 2) {
      const std::string entries = ProfileSection(text, section);
      Check(entries.size() == static_cast<size_t>(m) && std::memcmp(entries.data(), whole, entries.size()) == 0,
            "in-memory section differs");
    }
  }

  // A write keeps what it does not touch. The probes, read with the
  // program's usual buffers, are a section and a key other than the written
  // ones.
  static char before[2][3000], after[3][3000];
  const bool otherSection = !SameIgnoringCase(section, "DB2");
  const bool otherKey = !(SameIgnoringCase(section, "Quenvale") && SameIgnoringCase(key, "IPADDRESS"));
  const int beforeCount = GetSection("DB2", before[0], 3000, path);
  GetString("Quenvale", "IPADDRESS", before[1], 256, path);
  const int written = ProfileWriteString(section, key, "v1 = x", path);
  if (written && Plain(section) && Plain(key)) {
    GetString(section, key, after[2], 256, path);
    Check(std::strcmp(after[2], "v1 = x") == 0, "written value not read back");
  }
  if (written) {
    const int afterCount = GetSection("DB2", after[0], 3000, path);
    GetString("Quenvale", "IPADDRESS", after[1], 256, path);
    // The section is compared as its whole list of entries.
    if (otherSection && Plain(section)) {
      Check(beforeCount == afterCount &&
                std::memcmp(before[0], after[0], static_cast<size_t>(beforeCount) + 1) == 0,
            "write changed another section");
    }
    if (otherKey && Plain(section) && Plain(key)) {
      Check(std::strcmp(before[1], after[1]) == 0, "write changed another key");
    }
  }
  return 0;
}
