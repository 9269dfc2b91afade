// The field decoders over arbitrary field bytes, with code tables built
// from the [EBCDIC] and [KANJI] sections of a settings text that the input
// supplies.
//
// Input: settings text, then the mark "@@FIELD@@\n", then the field bytes
// (without the mark, the whole input is the field and the tables stay as the
// last input left them). Each decoder gets a copy of exactly the field's
// bytes and a zero byte, and a destination of exactly the room it asks for,
// both on the heap, so a read or write past either is caught.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/text.h"
#include "convert/code_tables.h"
#include "convert/decoders.h"
#include "convert/host_numbers.h"
#include "convert/unicode_text.h"
#include "fuzz/fuzz_support.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "decoders: %s\n", what);
    std::abort();
  }
}

// Runs one decoder over length bytes of field into a destination of
// exactly dest bytes; the result must be a text within it and a count of 0
// or more.
template <typename Decoder>
int Run(Decoder decode, const uint8_t* field, int length, int copyLength, size_t dest) {
  char* src = static_cast<char*>(std::malloc(static_cast<size_t>(copyLength) + 1));
  char* dst = static_cast<char*>(std::malloc(dest));
  if (copyLength > 0) std::memcpy(src, field, static_cast<size_t>(copyLength));
  src[copyLength] = '\0';
  std::memset(dst, 0x7F, dest);
  const int errors = decode(src, length, dst);
  Check(std::memchr(dst, '\0', dest) != nullptr, "destination not terminated");
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
    static Settings settings;
    FuzzSettings(data, at, &settings);
    LoadSingleByteTable(settings, s_Tables);
    LoadUserDoubleByteTable(settings, s_Tables);
    // The user table must stay ended within its slots.
    bool ended = false;
    for (int i = 0; i < kUserTableSlots && !ended; ++i) ended = s_Tables->user[i].sjis == 0;
    Check(ended, "user table without end slot");
  }
  if (at < size) {
    field = data + at + sizeof kMark - 1;
    fieldSize = size - at - (sizeof kMark - 1);
  }

  // The field as toCSV hands it (packed up to 127 bytes), and the first byte
  // as a length of its own, clamped by the decoders, so the lengths outside
  // the ranges are tried too. The text decoders' room: length + 1 bytes for
  // a double-byte run, twice the length and one for mixed text.
  const int whole = fieldSize > static_cast<size_t>(kMaxTextFieldLength) ? kMaxTextFieldLength
                                                                         : static_cast<int>(fieldSize);
  const int packed = whole > 127 ? 127 : whole;
  const auto runRoom = [](int n) { return static_cast<size_t>(n < 0 ? 0 : n) + 1; };
  const auto mixedRoom = [](int n) { return 2 * static_cast<size_t>(n < 0 ? 0 : n) + 1; };
  s_Report.SetRecordsWritten(static_cast<int32_t>(fieldSize));
  Run(Double, field, whole, whole, runRoom(whole));
  Run(Mixed, field, whole, whole, mixedRoom(whole));
  Run(Packed, field, packed, packed, 256);
  if (fieldSize > 0) {
    const int odd = static_cast<signed char>(field[0]);  // -128..127
    const int copy = odd < 0 ? 0 : (odd > whole ? whole : odd);
    Run(Double, field, copy, copy, runRoom(copy));
    Run(Mixed, field, copy, copy, mixedRoom(copy));
    Run(Packed, field, copy, copy, 256);
    if (odd < 0) {  // a negative length is taken as 0
      Run(Double, field, odd, 0, 1);
      Run(Mixed, field, odd, 0, 1);
      Run(Packed, field, odd, 0, 256);
    }
  }

  // The host number decoders and the Unicode text, each into exactly its
  // room: zoned digits (1-63) into their packed image, binary and float of
  // each width, hex, UTF-16 as Shift-JIS and as UTF-8.
  if (fieldSize > 0) {
    const int digits = whole > kMaxZonedDigits ? kMaxZonedDigits : whole;
    unsigned char* image = static_cast<unsigned char*>(std::malloc((digits + 2) / 2));
    int packedLength = 0;
    const int invalid = ZonedToPacked(field, digits, image, &packedLength);
    Check(invalid == 0 || invalid == 1, "zoned sign counted more than once");
    Check(packedLength == (digits + 2) / 2, "zoned packed length");
    std::free(image);
  }
  for (int width : {2, 4, 8}) {
    if (fieldSize >= static_cast<size_t>(width)) BinaryValue(field, width);
  }
  for (int width : {4, 8}) {
    if (fieldSize < static_cast<size_t>(width)) continue;
    char* text = static_cast<char*>(std::malloc(32));
    char* end = text;
    if (PutFloat(&end, field, width)) Check(end > text && end <= text + 32, "float text length");
    std::free(text);
  }
  {
    const int n = whole > 4096 ? 4096 : whole;
    char* hex = static_cast<char*>(std::malloc(2 * static_cast<size_t>(n) + 1));
    Check(PutHex(hex, field, n) == hex + 2 * n, "hex length");
    std::free(hex);
  }
  for (bool utf8 : {false, true}) {
    const int units = whole / 2;
    const size_t room = 3 * static_cast<size_t>(units) + 8;
    char* text = static_cast<char*>(std::malloc(room));
    int errors = -1;
    char* end = PutUnicodeText(text, field, units, utf8, s_With, &errors);
    Check(end >= text && end <= text + room, "Unicode text past its room");
    Check(errors >= 0 && errors <= units, "Unicode error count");
    std::free(text);
  }
  return 0;
}
