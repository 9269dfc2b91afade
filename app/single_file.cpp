#include "app/single_file.h"

#include <cstdio>

#include "app/batch_run.h"
#include "app/process_state.h"
#include "app/progress.h"
#include "app/settings_file.h"
#include "base/texts.h"
#include "convert/to_csv.h"
#include "platform/fileio.h"
#include "platform/stream.h"
#include "platform/ui.h"

namespace {

// CodeErr.csv in the program folder, written beside it with its header row;
// it replaces the previous one at every single-file conversion, even one
// that fails later, but not at a cancel. Null when it cannot be made (the
// conversion goes on without it and without a word), or when a link stands
// at its name (not written through).
struct CodeErrorFile {
  char path[kPathBufferSize];
  char temp[kTempPathSize];
  FILE* stream = nullptr;

  void Open(const char* programFolder) {
    if (!CopyText(path, sizeof path, programFolder) ||
        !AppendText(path, sizeof path, "CodeErr.csv") || PathIsLink(path)) {
      return;
    }
    stream = OpenTempStream(path, "w", temp, sizeof temp);
    if (stream != nullptr) std::fputs(kTextCodeErrHeader, stream);
  }
  void Close(bool keep) {
    if (stream == nullptr) return;
    if (keep) {
      CommitTempStream(stream, temp, path);
    } else {
      DiscardTempStream(stream, temp);
    }
    stream = nullptr;
  }
};

}  // namespace

int RunSingleFile(ProcessState& state) {
  // A missing [EBCDIC] section does not stop the conversion.
  LoadSettings(state.settingsPath, &state.settings);
  LoadSingleByteTable(state.settings, &state.tables);
  LoadUserDoubleByteTable(state.settings, &state.tables);
  ShowIndicator(1);

  // What a run that died left here goes first.
  RemoveLeftoverTemps(state.programFolder);
  static CodeErrorFile report;
  report.Open(state.programFolder);
  const Conversion with{state.job(), &state.tables, IndicatorProgress(), report.stream};
  ConversionCounts counts{};
  int result = 0;
  if (state.settings.shiftJis) {
    result = toCSV(with, "", state.fileBaseName, &counts);
  } else {
    // Its tables would turn every katakana and Kanji into others.
    state.errors.AppendLine("Quenvale.ini", kTextSaveAsShiftJis);
  }
  report.Close(result >= 0 && !StopRequested());

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
  // Shown while the progress window still shows the final count. A summary
  // nobody saw (its text went to standard error) is no success: the failed
  // conversion it may report would otherwise end with 0.
  if (ShowBox(summary, state.fileBaseName, kMbOk) == 0 && result >= 0) result = kRunFailed;

  if (StopRequested()) result = -1;  // ends as a cancel, wherever the stop came
  ShowIndicator(0);
  return result;
}
