#include "app/single_file.h"

#include <cstdio>

#include "app/batch_run.h"
#include "app/code_error_file.h"
#include "app/process_state.h"
#include "app/progress.h"
#include "app/settings_file.h"
#include "base/texts.h"
#include "convert/to_csv.h"
#include "platform/fileio.h"
#include "platform/stream.h"
#include "platform/ui.h"

int RunSingleFile(ProcessState& state) {
  // A missing [EBCDIC] section does not stop the conversion.
  LoadSettings(state.settingsPath, &state.settings, &state.errors);
  LoadSingleByteTable(state.settings, &state.tables);
  LoadUserDoubleByteTable(state.settings, &state.tables);
  ShowIndicator(1);

  // What a run that died left here goes first.
  RemoveLeftoverTemps(state.programFolder);
  static CodeErrorFile report;
  report.Open(state.programFolder, &state.errors);
  const Conversion with{state.job(), &state.tables, IndicatorProgress(), report.stream()};
  ConversionCounts counts{};
  int result = 0;
  if (state.settings.shiftJis) {
    result = toCSV(with, "", state.fileBaseName, &counts);
  } else {
    // Its tables would turn every katakana and Kanji into others.
    state.errors.AppendLine("Quenvale.ini", kTextSaveAsShiftJis);
  }
  // A report that is not in place fails the run, whatever the count.
  if (!report.Close(result >= 0 && !StopRequested(), &state.errors) && result >= 0) result = kRunFailed;

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

  // A run that left no CSV must not pass for one that converted: the error
  // count is the exit code only of a CSV that was written.
  if (result >= 0 && !counts.csvWritten) result = kRunFailed;
  if (StopRequested()) result = -1;  // ends as a cancel, wherever the stop came
  ShowIndicator(0);
  return result;
}
