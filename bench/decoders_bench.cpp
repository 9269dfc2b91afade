// Google Benchmark of the field decoders on fields like those of the
// benchmark images: a 100-byte mixed text (letters, 14 Kanji between
// shift-out and shift-in, letters), a 30-byte double-byte name and a 7-byte
// packed amount through the three host text and packed decoders; and each
// field type of layout C (zoned, binary, floating point, hex, varying text,
// UTF-16 in Shift-JIS and in UTF-8), with packed for comparison, decoded and
// written as its CSV value through the type table, as a row gets it. The
// tables come from examples/Quenvale.ini (CCSID 930). bench/run.sh turns the
// JSON output into nanoseconds per field byte.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/settings_file.h"
#include "convert/code_tables.h"
#include "convert/decoders.h"
#include "convert/field_list.h"
#include "convert/field_types.h"

namespace {

constexpr int kFields = 1024;  // distinct fields, cycled through

uint32_t g_Seed = 930;
uint32_t Next() {
  g_Seed = g_Seed * 1103515245u + 12345u;
  return g_Seed >> 8;
}

// Host codes of JIS level 1 Kanji from the built-in table.
std::vector<uint16_t> Kanji() {
  std::vector<uint16_t> codes;
  for (int k = 0; k < BuiltInTableSize(); ++k) {
    const DoubleByteEntry& e = BuiltInTable()[k];
    if (e.sjis >= 0x889F && e.sjis <= 0x9872) codes.push_back(e.host);
  }
  return codes;
}

const unsigned char kLetters[] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1,
                                  0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xE2, 0xE3,
                                  0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xF0, 0xF1, 0xF2, 0xF3,
                                  0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9};

struct Fields {
  std::vector<std::vector<char>> mixed, dbcs, packed;
};

Fields Make() {
  const std::vector<uint16_t> kanji = Kanji();
  Fields f;
  for (int n = 0; n < kFields; ++n) {
    std::vector<char> m;
    const int first = 17 + static_cast<int>(Next() % 35);
    for (int k = 0; k < first; ++k) m.push_back(static_cast<char>(kLetters[Next() % sizeof kLetters]));
    m.push_back(0x0E);
    for (int k = 0; k < 14; ++k) {
      const uint16_t c = kanji[Next() % kanji.size()];
      m.push_back(static_cast<char>(c >> 8));
      m.push_back(static_cast<char>(c));
    }
    m.push_back(0x0F);
    while (m.size() < 100) m.push_back(static_cast<char>(kLetters[Next() % sizeof kLetters]));
    m.push_back(0);
    f.mixed.push_back(m);

    std::vector<char> d;
    for (int k = 0; k < 15; ++k) {
      const uint16_t c = k < 4 + static_cast<int>(Next() % 11) ? kanji[Next() % kanji.size()] : 0x4040;
      d.push_back(static_cast<char>(c >> 8));
      d.push_back(static_cast<char>(c));
    }
    d.push_back(0);
    f.dbcs.push_back(d);

    std::vector<char> p;
    for (int k = 0; k < 6; ++k) p.push_back(static_cast<char>((Next() % 10) << 4 | (Next() % 10)));
    p.push_back(static_cast<char>((Next() % 10) << 4 | (Next() % 2 ? 0xC : 0xD)));
    p.push_back(0);
    f.packed.push_back(p);
  }
  return f;
}

const Fields& Data() {
  static const Fields f = Make();
  return f;
}

// The tables of examples/Quenvale.ini and a report without a file, as a
// batch run converts.
CodeTables g_Tables;
CodeErrorReport g_Report;
const DecodeContext g_With{&g_Tables, &g_Report};

template <typename Decode>
void Run(benchmark::State& state, const std::vector<std::vector<char>>& fields, Decode decode) {
  char src[256];
  char dst[256];
  const int length = static_cast<int>(fields[0].size()) - 1;
  int n = 0;
  for (auto _ : state) {
    std::memcpy(src, fields[n].data(), fields[n].size());
    benchmark::DoNotOptimize(decode(src, length, dst));
    benchmark::DoNotOptimize(dst);
    n = (n + 1) & (kFields - 1);
  }
  state.SetBytesProcessed(state.iterations() * length);
  state.counters["field_bytes"] = length;
}

void BM_ConvertMixedText(benchmark::State& state) {
  Run(state, Data().mixed, [](char* s, int n, char* d) { return ConvertMixedText(s, n, d, g_With); });
}
void BM_ConvertDoubleByteRun(benchmark::State& state) {
  Run(state, Data().dbcs, [](char* s, int n, char* d) { return ConvertDoubleByteRun(s, n, d, g_With); });
}
void BM_ConvertPackedDecimal(benchmark::State& state) {
  Run(state, Data().packed, [](char* s, int n, char* d) { return ConvertPackedDecimal(s, n, d); });
}

BENCHMARK(BM_ConvertMixedText);
BENCHMARK(BM_ConvertDoubleByteRun);
BENCHMARK(BM_ConvertPackedDecimal);

// ---- The field types of layout C, through the type table --------------------

// Level 1 Kanji of the built-in table as UTF-16 big-endian (every one has a
// code page 932 code), by the C library's iconv.
std::vector<std::string> Utf16Kanji() {
  std::vector<std::string> out;
  iconv_t cd = iconv_open("UTF-16BE", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  for (int k = 0; k < BuiltInTableSize(); ++k) {
    const DoubleByteEntry& e = BuiltInTable()[k];
    if (e.sjis < 0x889F || e.sjis > 0x9872) continue;
    char in[2] = {static_cast<char>(e.sjis >> 8), static_cast<char>(e.sjis)};
    char unit[8];
    char* src = in;
    char* dst = unit;
    size_t srcLeft = 2;
    size_t dstLeft = sizeof unit;
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1) && dst - unit == 2) {
      out.emplace_back(unit, 2);
    }
  }
  iconv_close(cd);
  return out;
}

std::string Zoned(int digits) {
  std::string z;
  for (int k = 0; k < digits; ++k) z += static_cast<char>(0xF0 | Next() % 10);
  if (Next() % 4 == 0) z.back() = static_cast<char>(0xD0 | (z.back() & 0x0F));
  return z;
}

std::string PackedDigits(int bytes) {
  std::string p;
  for (int k = 0; k < bytes - 1; ++k) p += static_cast<char>((Next() % 10) << 4 | (Next() % 10));
  p += static_cast<char>((Next() % 10) << 4 | (Next() % 4 == 0 ? 0xD : 0xC));
  return p;
}

std::string Bytes(int n) {
  std::string b;
  for (int k = 0; k < n; ++k) b += static_cast<char>(Next());
  return b;
}

std::string Length(size_t n) { return std::string{static_cast<char>(n >> 8), static_cast<char>(n)}; }

// One field of each kind, as layout C has them: its description line and
// kFields distinct values.
struct TypedField {
  FieldDescriptor field;
  std::vector<std::string> records;
};

TypedField Typed(const char* line, std::string (*value)(const std::vector<uint16_t>&,
                                                        const std::vector<std::string>&)) {
  static const std::vector<uint16_t> kanji = Kanji();
  static const std::vector<std::string> utf16 = Utf16Kanji();
  TypedField t;
  FieldList list;
  const std::string fdf = std::string("PCFO\n") + line + "\n";
  if (!ParseFieldList(fdf.data(), fdf.size(), &list) || list.count != 1) {
    std::fprintf(stderr, "decoders_bench: not a field: %s\n", line);
    std::exit(1);
  }
  t.field = list.fields[0];
  for (int n = 0; n < kFields; ++n) {
    std::string r = value(kanji, utf16);
    if (r.size() != static_cast<size_t>(t.field.size)) {
      std::fprintf(stderr, "decoders_bench: %s: %zu bytes\n", line, r.size());
      std::exit(1);
    }
    t.records.push_back(r);
  }
  return t;
}

std::string MixedText(const std::vector<uint16_t>& kanji, size_t width) {
  std::string m;
  const size_t kanjiCount = 1 + Next() % 5;
  const size_t total = 12 + Next() % (width - 11);
  while (m.size() + 2 * kanjiCount + 2 < total / 2) m += static_cast<char>(kLetters[Next() % sizeof kLetters]);
  m += '\x0E';
  for (size_t k = 0; k < kanjiCount; ++k) {
    const uint16_t c = kanji[Next() % kanji.size()];
    m += static_cast<char>(c >> 8);
    m += static_cast<char>(c);
  }
  m += '\x0F';
  while (m.size() < total) m += static_cast<char>(kLetters[Next() % sizeof kLetters]);
  return m;
}

std::string Utf16Text(const std::vector<std::string>& utf16, size_t units) {
  std::string u;
  for (size_t k = 0; k < units; ++k) u += utf16[Next() % utf16.size()];
  return u;
}

const std::vector<TypedField>& Typed() {
  using K = const std::vector<uint16_t>&;
  using U = const std::vector<std::string>&;
  static const std::vector<TypedField> typed = {
      Typed("PCFL P 2 15/2", [](K, U) { return PackedDigits(7); }),
      Typed("PCFL S S 15/2", [](K, U) { return Zoned(15); }),
      Typed("PCFL B B 4/2", [](K, U) { return Bytes(4); }),
      Typed("PCFL B B 8", [](K, U) { return Bytes(8); }),
      Typed("PCFL F F 8", [](K, U) {
        const double v = static_cast<double>(static_cast<int32_t>(Next())) / 1000.0;
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        std::string b;
        for (int k = 7; k >= 0; --k) b += static_cast<char>(bits >> (8 * k));
        return b;
      }),
      Typed("PCFL H H 8", [](K, U) { return Bytes(8); }),
      Typed("PCFL V V 60", [](K kanji, U) {
        const std::string m = MixedText(kanji, 60);
        return Length(m.size()) + m + std::string(60 - m.size(), '\0');
      }),
      Typed("PCFL U U 40", [](K, U utf16) {
        std::string u = Utf16Text(utf16, 3 + Next() % 10);
        while (u.size() < 40) u += "\x30\x00";
        return u;
      }),
      Typed("PCFL N N 30", [](K, U utf16) {
        const std::string u = Utf16Text(utf16, Next() % 16);
        return Length(u.size() / 2) + u + std::string(30 - u.size(), '\0');
      }),
  };
  return typed;
}

void PutTyped(benchmark::State& state, int which, bool utf8) {
  const TypedField& t = Typed()[static_cast<size_t>(which)];
  const PutValueFn put = FieldTypeOf(t.field.type).put;
  char row[4096];
  int32_t errors = 0;
  int n = 0;
  for (auto _ : state) {
    char* end = put(row, t.field, t.records[static_cast<size_t>(n)].data(), g_With, &errors, utf8);
    benchmark::DoNotOptimize(end);
    benchmark::DoNotOptimize(row);
    n = (n + 1) & (kFields - 1);
  }
  state.SetBytesProcessed(state.iterations() * t.field.size);
  state.counters["field_bytes"] = t.field.size;
}

BENCHMARK_CAPTURE(PutTyped, Packed_2_15_2, 0, false);
BENCHMARK_CAPTURE(PutTyped, Zoned_S_15_2, 1, false);
BENCHMARK_CAPTURE(PutTyped, Binary_B_4_2, 2, false);
BENCHMARK_CAPTURE(PutTyped, Binary_B_8, 3, false);
BENCHMARK_CAPTURE(PutTyped, Float_F_8, 4, false);
BENCHMARK_CAPTURE(PutTyped, Hex_H_8, 5, false);
BENCHMARK_CAPTURE(PutTyped, Varying_V_60, 6, false);
BENCHMARK_CAPTURE(PutTyped, Utf16_U_40, 7, false);
BENCHMARK_CAPTURE(PutTyped, Utf16_U_40_Utf8, 7, true);
BENCHMARK_CAPTURE(PutTyped, Varying_Utf16_N_30, 8, false);
BENCHMARK_CAPTURE(PutTyped, Varying_Utf16_N_30_Utf8, 8, true);

}  // namespace

int main(int argc, char** argv) {
  const char* path = QV_SOURCE_DIR "/examples/Quenvale.ini";
  static Settings settings;
  LoadSettings(path, &settings);
  if (LoadSingleByteTable(settings, &g_Tables) == 0) {
    std::fprintf(stderr, "decoders_bench: no [EBCDIC] table in %s\n", path);
    return 1;
  }
  LoadUserDoubleByteTable(settings, &g_Tables);
  g_Report.Start("BENCH", nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
