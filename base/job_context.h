#pragma once
// What a job of a run needs of the run: where the program lives, where its
// settings are, and where its error lines go. The run (app/) owns these and
// hands them down; no job reaches for them by itself.

class ErrorText;

struct JobContext {
  const char* programFolder;  // the executable's folder, ending with the separator
  const char* settingsPath;   // programFolder + "Quenvale.ini"
  ErrorText* errors;
};
