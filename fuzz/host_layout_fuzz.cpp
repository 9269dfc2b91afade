// The readers of the host's descriptions (DSPFFD outfile image, DDS source,
// SQL CREATE TABLE) and the list made from what they read, over arbitrary
// bytes. An input of odd size decodes the outfile's names through an
// [EBCDIC] table that maps a few codes to katakana and signs. Every list
// made must be one the conversion reads, of the record it describes.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/field_list.h"
#include "convert/host_layout.h"
#include "fuzz/fuzz_support.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "host_layout: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned char table[256];
  for (int c = 0; c < 256; ++c) table[c] = static_cast<unsigned char>(c % 3 == 0 ? 0 : 0xA1 + c % 60);
  table[0x40] = ' ';
  std::vector<HostFileLayout> files;
  std::string report;
  const char* bytes = reinterpret_cast<const char*>(data);
  const HostSource kind =
      ReadHostDescription(bytes, size, "INPUT.FFD", size % 2 == 1 ? table : nullptr, &files, &report);
  Check(kind != HostSource::kUnknown || files.empty(), "files from an unknown input");
  for (const HostFileLayout& file : files) {
    std::string fdf;
    if (!MakeFieldListText(file, "INPUT.FFD", "2026-01-01", &fdf, &report)) continue;
    FieldList list;
    Check(ParseFieldList(fdf.data(), fdf.size(), &list), "a list made that does not parse");
    Check(file.recordLength == 0 || list.recordLength() == file.recordLength, "record length");
    Check(list.count == static_cast<int>(file.fields.size()), "field count");
    Check(SameLayout(list, list), "a list unlike itself");
    Check(SameFieldListText(fdf, fdf), "a text unlike itself");
  }
  return 0;
}
