#pragma once
// What a job of a run needs of the run: where the program lives, its
// settings (read once by the run), and where its error lines go. The run
// (app/) owns these and hands them down; no job reaches for them by itself.

class ErrorText;
struct Settings;

struct JobContext {
  const char* programFolder;  // the executable's folder, ending with the separator
  const char* settingsPath;   // programFolder + "Quenvale.ini", for the one write-back
  ErrorText* errors;
  Settings* settings;         // read once per run; the write-back updates it
};
