// What the progress window costs a conversion, measured under Wine.
//
//   indicator_bench.exe NAME ROUNDS
//
// Converts NAME (NAME.db2 and NAME.fdf in the program's own folder, with its
// Quenvale.ini) ROUNDS times with the progress window open and ROUNDS times
// with none, alternating, in the same process: exactly the single-file mode
// (tables loaded, ShowIndicator, toCSV, ShowIndicator off) except that the
// summary box is skipped, since nobody is there to close it. Without a window
// UpdateIndicator returns at once, so the difference between the two is what
// showing and serving the window costs. One line per conversion:
//   window=0|1 seconds=S result=R shown=0|1
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "app/process_state.h"
#include "app/progress.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "convert/to_csv.h"
#include "platform/windows/instance.h"

namespace {

double Now() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: indicator_bench NAME ROUNDS\n");
    return 2;
  }
  g_Instance = GetModuleHandleA(nullptr);
  static ProcessState state;
  char exePath[kPathBufferSize];
  if (GetModuleFileNameA(nullptr, exePath, sizeof exePath) == 0 ||
      DeriveProgramFolder(exePath, state.programFolder, kPathBufferSize) <= 0) {
    return 1;
  }
  CopyText(state.settingsPath, kPathBufferSize, state.programFolder);
  AppendText(state.settingsPath, kPathBufferSize, "Quenvale.ini");
  LoadSettings(state.settingsPath, &state.settings);
  LoadSingleByteTable(state.settings, &state.tables);
  LoadUserDoubleByteTable(state.settings, &state.tables);
  const Conversion with{state.job(), &state.tables, IndicatorProgress(), nullptr};

  const int rounds = std::atoi(argv[2]);
  for (int r = 0; r < rounds; ++r) {
    for (int k = 0; k < 2; ++k) {
      const int window = (r + k) % 2;  // who goes first alternates
      state.errors.Clear();
      if (window != 0) ShowIndicator(1);
      const bool shown = window != 0 && FindWindowA(nullptr, "Indicator") != nullptr;
      const double start = Now();
      const int result = toCSV(with, "", argv[1], nullptr);
      const double seconds = Now() - start;
      if (window != 0) ShowIndicator(0);
      std::printf("window=%d seconds=%.4f result=%d shown=%d\n", window, seconds, result, shown ? 1 : 0);
      std::fflush(stdout);
    }
  }
  return 0;
}
