#include "app/single_file.h"

#include <cstdio>

#include "app/process_state.h"
#include "app/progress.h"
#include "base/texts.h"
#include "convert/to_csv.h"
#include "platform/stream.h"
#include "platform/ui.h"

namespace {

// CodeErr.csv in the program folder with its header row, replaced at every
// single-file conversion, even one that fails later; null when it cannot be
// made (the conversion goes on without it and without a word).
FILE* OpenCodeErrorReport(const char* programFolder) {
  char path[kPathBufferSize];
  if (!CopyText(path, sizeof path, programFolder) || !AppendText(path, sizeof path, "CodeErr.csv")) {
    return nullptr;
  }
  FILE* report = OpenStream(path, "w");
  if (report != nullptr) std::fputs(kTextCodeErrHeader, report);
  return report;
}

}  // namespace

int RunSingleFile(ProcessState& state) {
  // A missing [EBCDIC] section does not stop the conversion.
  LoadSingleByteTable(state.settingsPath, &state.tables);
  LoadUserDoubleByteTable(state.settingsPath, &state.tables);
  ShowIndicator(1);

  FILE* report = OpenCodeErrorReport(state.programFolder);
  const Conversion with{state.job(), &state.tables, IndicatorProgress(), report};
  ConversionCounts counts{};
  int result = 0;
  if (SettingsAreShiftJis(state.settingsPath)) {
    result = toCSV(with, "", state.fileBaseName, &counts);
  } else {
    // Its tables would turn every katakana and Kanji into others.
    state.errors.AppendLine("Quenvale.ini", kTextSaveAsShiftJis);
  }
  if (report != nullptr) std::fclose(report);

  // Room for the whole error text after the record size.
  static char summary[kErrorTextSize + 256];
  if (!state.errors.empty()) {
    std::snprintf(summary, sizeof summary, kTextSummaryWithErrorsFormat,
                  static_cast<int>(counts.recordLength), state.errors.text());
  } else {
    std::snprintf(summary, sizeof summary, kTextSummaryFormat, static_cast<int>(counts.recordLength),
                  static_cast<int>(result), static_cast<int>(counts.doubleByteErrors),
                  static_cast<int>(counts.singleByteErrors));
  }
  // Shown while the progress window still shows the final count.
  ShowBox(summary, state.fileBaseName, kMbOk);

  if (StopRequested()) result = -1;  // ends as a cancel, wherever the stop came
  ShowIndicator(0);
  return result;
}
