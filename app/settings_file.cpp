#include "app/settings_file.h"

#include <cstdio>
#include <cstring>

#include "base/profile_text.h"
#include "base/sjis.h"
#include "base/text.h"
#include "convert/code_tables.h"
#include "convert/unicode_text.h"
#include "platform/stream.h"

namespace {

// A settings file larger than this is not a settings file: reading stops
// there.
constexpr size_t kMaxFileSize = 64u << 20;

// The file's own bytes, read once.
std::string FileBytes(const char* path) {
  std::string bytes;
  FILE* f = OpenStream(path, "rb");
  if (f == nullptr) return bytes;
  static char block[65536];
  size_t n;
  while (bytes.size() < kMaxFileSize && (n = std::fread(block, 1, sizeof block, f)) > 0) {
    bytes.append(block, n);
  }
  std::fclose(f);
  if (bytes.size() > kMaxFileSize) bytes.resize(kMaxFileSize);
  WipeText(block, sizeof block);  // it holds the password
  return bytes;
}

void PutCodePoint(unsigned cp, std::string* out) {
  const unsigned code = cp == 0 ? 0 : Cp932OfCodePoint(cp);
  if (cp != 0 && code == 0) {
    *out += '?';  // as the system's conversion puts its default character
  } else if (code > 0xFF) {
    *out += static_cast<char>(code >> 8);
    *out += static_cast<char>(code & 0xFF);
  } else {
    *out += static_cast<char>(code);
  }
}

// The text the profile functions see: a file that starts with the mark of
// UTF-8 or UTF-16 is read in that encoding and handed over in the code
// page (932), as Windows does; any other file as its bytes.
std::string ProfileTextOf(const std::string& bytes) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  std::string text;
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    for (size_t i = 3; i < n;) {
      const unsigned lead = b[i];
      const int more = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2
                                                            : (lead >> 3) == 30 ? 3 : -1;
      unsigned cp = more <= 0 ? lead : lead & (0x3Fu >> more);
      bool whole = more >= 0 && i + static_cast<size_t>(more) < n;
      for (int k = 1; whole && k <= more; ++k) {
        whole = (b[i + k] & 0xC0) == 0x80;
        cp = (cp << 6) | (b[i + k] & 0x3Fu);
      }
      if (!whole) {
        PutCodePoint(0xFFFD, &text);
        ++i;
        continue;
      }
      PutCodePoint(cp, &text);
      i += static_cast<size_t>(more) + 1;
    }
    return text;
  }
  const bool little = n >= 2 && b[0] == 0xFF && b[1] == 0xFE;
  const bool big = n >= 2 && b[0] == 0xFE && b[1] == 0xFF;
  if (!little && !big) return bytes;
  for (size_t i = 2; i + 1 < n; i += 2) {
    unsigned unit = little ? (b[i] | (b[i + 1] << 8)) : ((b[i] << 8) | b[i + 1]);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < n) {
      const unsigned low = little ? (b[i + 2] | (b[i + 3] << 8)) : ((b[i + 2] << 8) | b[i + 3]);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    PutCodePoint(unit, &text);
  }
  return text;
}

// A whole decimal number (an optional sign and digits) within [low, high].
bool WholeNumber(const std::string& value, int low, int high, int* number) {
  const char* p = value.c_str();
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return false;
  long long n = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + (*p - '0');
    if (n > (1LL << 40)) return false;
  }
  if (negative) n = -n;
  if (n < low || n > high) return false;
  *number = static_cast<int>(n);
  return true;
}

bool IsChoice(const std::string& value, const char* choices) {
  if (value.empty()) return true;
  for (const char* c = choices; *c == '|' && c[1] != '\0';) {
    const char* end = std::strchr(c + 1, '|');
    if (end == nullptr) break;
    if (SameName(c + 1, static_cast<size_t>(end - c - 1), value.c_str())) return true;
    c = end;
  }
  return false;
}

void Take(const SettingRow& row, const std::string& text, Settings* settings, ErrorText* errors) {
  std::string value;
  const bool found = row.type != SettingType::kSection && ProfileValue(text, row.section, row.name, &value);
  switch (row.type) {
    case SettingType::kSection:
      settings->*row.text = ProfileSection(text, row.section);
      return;
    case SettingType::kText:
      settings->*row.text = found ? value : row.fallback;
      return;
    case SettingType::kChoice:
      settings->*row.text = found ? value : row.fallback;
      if (found && !IsChoice(value, row.choices) && errors != nullptr) {
        errors->AppendLine(row.name, row.badValue);
      }
      return;
    case SettingType::kNumber: {
      int number = row.byDefault;
      if (found && !value.empty()) {
        if (row.badValue != nullptr) {
          if (!WholeNumber(value, row.low, row.high, &number)) {
            number = row.whenBad;
            if (errors != nullptr) errors->AppendLine(row.name, row.badValue);
          }
        } else {
          // As GetPrivateProfileIntA: its 30-byte buffer, the leading number.
          if (value.size() > 29) value.resize(29);
          number = ProfileNumber(value.c_str());
          if (number < row.low || number > row.high) number = row.byDefault;
        }
      }
      settings->*row.number = number;
      return;
    }
  }
}

}  // namespace

void LoadSettings(const char* path, Settings* settings, ErrorText* errors) {
  std::string bytes = FileBytes(path);
  settings->shiftJis = SettingsAreShiftJis(bytes.data(), bytes.size());
  std::string text = ProfileTextOf(bytes);
  for (int i = 0; i < kSettingRowCount; ++i) Take(kSettingRows[i], text, settings, errors);
  // Both hold the password.
  WipeText(&bytes[0], bytes.size());
  WipeText(&text[0], text.size());
}
