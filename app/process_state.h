#pragma once
// The process-wide state of a run, and its one owner. Start-up (RunProgram)
// creates the one ProcessState before anything else and hands it to the
// mode it runs; it lives until the process ends and one thread uses it.
// The jobs below app/ never see it: the run hands each what it needs (a
// JobContext, the code tables, a Progress). The progress window's own state
// (open or not, the cancel flag) is owned by app/progress.h.
#include "base/error_text.h"
#include "base/job_context.h"
#include "base/settings.h"
#include "base/text.h"
#include "convert/code_tables.h"

struct ProcessState {
  char programFolder[kPathBufferSize];   // the executable's folder, with its separator
  char settingsPath[kPathBufferSize];    // programFolder + "Quenvale.ini"
  Settings settings;                     // read once, when the mode starts its work
  char fileBaseName[kFileBaseNameSize];  // the single-file argument, then each batch entry
  ErrorText errors;                      // emptied at start-up only
  CodeTables tables;                     // loaded once before the first conversion

  JobContext job() { return JobContext{programFolder, settingsPath, &errors, &settings}; }
};
