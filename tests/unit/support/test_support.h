#pragma once
// Helpers shared by the unit tests.
#include <string>

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

// Points the program's folder and settings path at folder (ending with the
// separator) and empties the error text buffer, as start-up does.
void UseProgramFolder(const std::string& folder);
