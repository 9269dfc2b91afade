// The three field decoders over arbitrary field bytes, with code tables
// built from the [EBCDIC] and [KANJI] sections of a settings text that the
// input supplies.
//
// Input: settings text, then the mark "@@FIELD@@\n", then the field bytes
// (without the mark, the whole input is the field and the tables stay as the
// last input left them). Each decoder gets a copy of exactly the
// field's bytes and a zero byte, and a destination of exactly 256 bytes, both
// on the heap, so a read or write past either is caught.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "convert/code_tables.h"
#include "convert/decoders.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int kDest = 256;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "decoders: %s\n", what);
    std::abort();
  }
}

// Runs one decoder over length bytes of field; the result must be a text of
// at most 255 bytes and a count of 0 or more.
template <typename Decoder>
int Run(Decoder decode, const uint8_t* field, int length, int copyLength) {
  char* src = static_cast<char*>(std::malloc(static_cast<size_t>(copyLength) + 1));
  char* dst = static_cast<char*>(std::malloc(kDest));
  if (copyLength > 0) std::memcpy(src, field, static_cast<size_t>(copyLength));
  src[copyLength] = '\0';
  std::memset(dst, 0x7F, kDest);
  const int errors = decode(src, length, dst);
  Check(std::memchr(dst, '\0', kDest) != nullptr, "destination not terminated");
  Check(errors >= 0, "negative error count");
  std::free(src);
  std::free(dst);
  return errors;
}

CodeTables* s_Tables = new CodeTables;
CodeErrorReport s_Report;
DecodeContext s_With{s_Tables, &s_Report};

int Double(char* s, int n, char* d) { return ConvertDoubleByteRun(s, n, d, s_With); }
int Mixed(char* s, int n, char* d) { return ConvertMixedText(s, n, d, s_With); }
int Packed(char* s, int n, char* d) { return ConvertPackedDecimal(s, n, d); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* report = std::fopen("/dev/null", "w");
  s_Report.Start("FUZZ", report);

  static const char kMark[] = "@@FIELD@@\n";
  const size_t at = FuzzFind(data, size, kMark);
  const uint8_t* field = data;
  size_t fieldSize = size;
  // The tables are built again only when the settings text changed: most
  // inputs vary the field.
  static uint8_t* lastSettings = nullptr;
  static size_t lastSize = 0;
  if (at < size && !(lastSettings != nullptr && lastSize == at &&
                     std::memcmp(lastSettings, data, at) == 0)) {
    std::free(lastSettings);
    lastSettings = static_cast<uint8_t*>(std::malloc(at + 1));
    if (at > 0) std::memcpy(lastSettings, data, at);
    lastSize = at;
    delete s_Tables;
    s_Tables = new CodeTables;
    s_With.tables = s_Tables;
    char section[kSettingsBufferSize + 2] = {};
    FuzzSectionEntries(data, at, "EBCDIC", section, kSettingsBufferSize);
    AddSingleByteEntries(section, s_Tables);
    FuzzSectionEntries(data, at, "KANJI", section, kSettingsBufferSize);
    SetUserEntries(section, s_Tables);
    // The user table must stay ended within its slots.
    bool ended = false;
    for (int i = 0; i < kUserTableSlots && !ended; ++i) ended = s_Tables->user[i].sjis == 0;
    Check(ended, "user table without end slot");
  }
  if (at < size) {
    field = data + at + sizeof kMark - 1;
    fieldSize = size - at - (sizeof kMark - 1);
  }

  // The field as toCSV hands it (up to 255 bytes; packed up to 127), and the
  // first byte as a length of its own, clamped by the decoders, so the
  // lengths outside the ranges are tried too.
  const int whole = fieldSize > 255 ? 255 : static_cast<int>(fieldSize);
  s_Report.SetRecordsWritten(static_cast<int32_t>(fieldSize));
  Run(Double, field, whole, whole);
  Run(Mixed, field, whole, whole);
  Run(Packed, field, whole > 127 ? 127 : whole, whole > 127 ? 127 : whole);
  if (fieldSize > 0) {
    const int odd = static_cast<signed char>(field[0]);  // -128..127
    const int copy = odd < 0 ? 0 : (odd > whole ? whole : odd);
    Run(Double, field, copy, copy);
    Run(Mixed, field, copy, copy);
    Run(Packed, field, copy, copy);
    if (odd < 0) {  // a negative length is taken as 0
      Run(Double, field, odd, 0);
      Run(Mixed, field, odd, 0);
      Run(Packed, field, odd, 0);
    }
  }
  return 0;
}
