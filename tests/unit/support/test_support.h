#pragma once
// Helpers shared by the unit tests.
#include <string>
#include <vector>

#include "base/error_text.h"
#include "base/job_context.h"
#include "base/progress.h"
#include "base/settings.h"

// A fresh empty folder under the system's temporary folder, removed with its
// contents when the object goes. path() ends with the platform separator and
// is in the program's encoding (Shift-JIS), ready to stand as a program folder.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  // Writes bytes to path() + name.
  void Write(const std::string& name, const std::string& bytes) const;
  // Reads path() + name whole; empty when it is missing.
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

// Reads a whole file by its Shift-JIS path (through the program's own stream
// layer); false when it cannot be opened.
bool ReadFileBytes(const std::string& path, std::string* bytes);
// Writes bytes as the whole file at a Shift-JIS path, the same way; false
// when it cannot be created.
bool WriteFileBytes(const std::string& path, const std::string& bytes);

// What a run hands its jobs, for a program folder (ending with the
// separator): the folder, its settings and an error text of its own. The
// settings are read from the folder's settings file as the run reads them,
// anew at each job() and settings() call.
class TestRun {
 public:
  explicit TestRun(const std::string& programFolder);
  JobContext job() { return JobContext{folder_.c_str(), settings_.c_str(), &errors, &settings()}; }
  Settings& settings();
  const char* settingsPath() const { return settings_.c_str(); }
  ErrorText errors;

 private:
  std::string folder_;
  std::string settings_;
  Settings loaded_;
};

// A progress that records every caption and text it is shown, and says stop
// at its cancelAt-th call (1-based) and every call after; 0 never.
class RecordedProgress : public Progress {
 public:
  struct Shown {
    std::string caption;
    std::string text;
  };
  int Update(const char* caption, const char* text) override;
  std::vector<Shown> updates;
  size_t cancelAt = 0;
};

// Bytes from hex digits ("C1C2 4040"); blanks are skipped.
std::string Hex(const char* hex);
// Bytes shown as hex digits with a blank after each ("C1 C2 "), for messages.
std::string HexOf(const std::string& bytes);
// A text as a text-mode file holds it: line feeds become the platform's
// line end.
std::string Nl(const std::string& text);
