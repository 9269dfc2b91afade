// Google Benchmark of the three field decoders on fields like those of the
// benchmark images: a 100-byte mixed text (letters, 14 Kanji between
// shift-out and shift-in, letters), a 30-byte double-byte name and a 7-byte
// packed amount. The tables come from examples/Quenvale.ini (CCSID 930).
// bench/run.sh turns the JSON output into nanoseconds per field byte.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "convert/code_tables.h"
#include "convert/decoders.h"

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

}  // namespace

int main(int argc, char** argv) {
  const char* settings = QV_SOURCE_DIR "/examples/Quenvale.ini";
  if (LoadSingleByteTable(settings, &g_Tables) == 0) {
    std::fprintf(stderr, "decoders_bench: no [EBCDIC] table in %s\n", settings);
    return 1;
  }
  LoadUserDoubleByteTable(settings, &g_Tables);
  g_Report.Start("BENCH", nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
