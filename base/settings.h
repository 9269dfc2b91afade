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
  std::string maxTransferMB = "4096";  // MaxTransferMB, MiB as text; 0: no bound
  std::string backupDir;        // BackupDir
  std::string csvEncoding;      // CsvEncoding
  int monthBackup = 0;          // MonthBackup
  int lastMonthBackup = 0;      // Last_MonthBackup, kept equal to the file's after a write
  int workers = 0;              // Workers
  int checkLayout = 0;          // CheckLayout
  // Sections
  std::string ebcdic;  // [EBCDIC]
  std::string kanji;   // [KANJI]
  std::string db2;     // [DB2]
  // False when the file was saved in another encoding than Shift-JIS
  // (SettingsAreShiftJis): its tables must not be used.
  bool shiftJis = true;
};

// Every setting, declared once: the reader takes the rows in order, a bad
// value gets its row's line, and the guides' settings tables name every
// row (settings_file_test checks them). A new setting is a field above and
// a row in kSettingRows (base/settings.cpp).
enum class SettingType {
  kText,     // the value as the file holds it (quotes dropped), or the default
  kChoice,   // kText whose value must be empty or one of choices
  kNumber,   // a whole number
  kSection,  // every line of the section named name
};

struct SettingRow {
  const char* section;  // "Quenvale"; for kSection the section itself
  const char* name;
  SettingType type;
  const char* fallback;  // the default, as the file would hold it (kText, kChoice)
  int low, high, byDefault;  // kNumber: the values taken, and the default
  // The error line after the name (a text of base/texts.h) when the value
  // is not taken: kChoice, a value not in choices (kept, so that the job
  // refuses it); kNumber, a value that is not a whole decimal number within
  // [low, high] (whenBad is used). Null: a kNumber reads as
  // GetPrivateProfileIntA reads it (its leading number), and one outside
  // [low, high] gives byDefault without a line.
  const char* badValue;
  int whenBad;
  const char* choices;  // kChoice: "|a|b|c" (without regard to ASCII case)
  std::string Settings::*text;  // kText, kChoice, kSection
  int Settings::*number;        // kNumber
};

extern const SettingRow kSettingRows[];
extern const int kSettingRowCount;

// value into out (size bytes) cut to size - 1 bytes, as the settings reader
// cuts a value to its buffer.
void CopySetting(char* out, int size, const std::string& value);
