#pragma once
// The run's settings, read once from the settings file at the start of a run
// (app/settings_file.h) and handed to the jobs: no job reads the file
// itself, so every step of a run sees the same settings. Values are held
// whole, as the reader gave them; each step cuts them to its own buffer as
// it always did. Sections are the reader's entries, each ended by a zero,
// then an empty one, with no limit of their own.
#include <string>

struct Settings {
  // [Quenvale]
  std::string ipAddress;        // IPADDRESS
  std::string user;             // USER
  std::string password;         // PASSWORD
  std::string ftps;             // FTPS
  std::string ftpsFingerprint;  // FTPSFingerprint
  std::string timeLimit = "3600";  // TimeLimit, seconds as text
  std::string backupDir;        // BackupDir
  std::string csvEncoding;      // CsvEncoding
  std::string workers;          // Workers, converting threads as text
  int monthBackup = 0;          // MonthBackup
  int lastMonthBackup = 0;      // Last_MonthBackup, kept equal to the file's after a write
  // Sections
  std::string ebcdic;  // [EBCDIC]
  std::string kanji;   // [KANJI]
  std::string db2;     // [DB2]
  // False when the file was saved in another encoding than Shift-JIS
  // (SettingsAreShiftJis): its tables must not be used.
  bool shiftJis = true;
};

// value into out (size bytes) cut to size - 1 bytes, as the settings reader
// cuts a value to its buffer.
void CopySetting(char* out, int size, const std::string& value);
