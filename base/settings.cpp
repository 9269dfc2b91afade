#include "base/settings.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "base/texts.h"

namespace {

constexpr SettingRow Text(const char* name, std::string Settings::*field, const char* fallback = "") {
  return {"Quenvale", name, SettingType::kText, fallback, 0, 0, 0, nullptr, 0, nullptr, field, nullptr};
}
constexpr SettingRow Choice(const char* name, std::string Settings::*field, const char* choices,
                            const char* badValue) {
  return {"Quenvale", name, SettingType::kChoice, "", 0, 0, 0, badValue, 0, choices, field, nullptr};
}
constexpr SettingRow Number(const char* name, int Settings::*field, int low, int high, int byDefault,
                            const char* badValue = nullptr, int whenBad = 0) {
  return {"Quenvale", name, SettingType::kNumber, "", low, high, byDefault, badValue, whenBad,
          nullptr, nullptr, field};
}
constexpr SettingRow Section(const char* name, std::string Settings::*field) {
  return {name, name, SettingType::kSection, "", 0, 0, 0, nullptr, 0, nullptr, field, nullptr};
}

}  // namespace

const SettingRow kSettingRows[] = {
    Text("IPADDRESS", &Settings::ipAddress),
    Text("USER", &Settings::user),
    Text("PASSWORD", &Settings::password),
    // The FTP job tells a bad FTPS or FTPSFingerprint itself, once, and
    // only when it would use them.
    Text("FTPS", &Settings::ftps),
    Text("FTPSFingerprint", &Settings::ftpsFingerprint),
    Text("TimeLimit", &Settings::timeLimit, "3600"),
    // The FTP job checks it, as FTPS: a bound it cannot read fetches nothing.
    Text("MaxTransferMB", &Settings::maxTransferMB, "4096"),
    Text("BackupDir", &Settings::backupDir),
    Choice("CsvEncoding", &Settings::csvEncoding, "|Shift_JIS|UTF-8|UTF-8-BOM|",
           kTextCsvEncodingInvalid),
    Number("MonthBackup", &Settings::monthBackup, INT_MIN, INT_MAX, 0),
    Number("Last_MonthBackup", &Settings::lastMonthBackup, INT_MIN, INT_MAX, 0),
    Number("Workers", &Settings::workers, 0, 64, 0, kTextWorkersInvalid, 1),
    Number("CheckLayout", &Settings::checkLayout, 0, 1, 0),
    Section("EBCDIC", &Settings::ebcdic),
    Section("KANJI", &Settings::kanji),
    Section("DB2", &Settings::db2),
};
const int kSettingRowCount = static_cast<int>(sizeof kSettingRows / sizeof kSettingRows[0]);

void CopySetting(char* out, int size, const std::string& value) {
  if (size <= 0) return;
  const size_t length = std::min(value.size(), static_cast<size_t>(size - 1));
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
}
