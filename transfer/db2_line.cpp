#include "transfer/db2_line.h"

#include <cstring>
#include <string>

#include "base/sjis.h"

namespace {

bool BeginsWithWord(const char* line, const char* word) {
  for (; *word != '\0'; ++line, ++word) {
    if (AsciiUpper(*line) != *word) return false;
  }
  return true;
}

// name runs to its end; divides it at its first dot into file and member.
int EntryNameOf(const char* name, char* entry, int entrySize) {
  entry[0] = '\0';
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return kNoName;
  const char* member = dot + 1;
  const int fileLength = static_cast<int>(dot - name);
  const int memberLength = static_cast<int>(std::strlen(member));
  const bool same = SameName(name, static_cast<size_t>(fileLength), member);
  const int needed = same ? memberLength : fileLength + 1 + memberLength;
  if (needed > entrySize - 1) return kNameTooLong;
  char* o = entry;
  if (!same) {
    std::memcpy(o, name, static_cast<size_t>(fileLength));
    o += fileLength;
    *o++ = '_';
  }
  std::memcpy(o, member, static_cast<size_t>(memberLength));
  o[memberLength] = '\0';
  return kNameFound;
}

}  // namespace

Db2Command CommandOf(const char* line) {
  if (BeginsWithWord(line, "CD ")) return Db2Command::kCd;
  if (BeginsWithWord(line, "GET ")) return Db2Command::kGet;
  if (BeginsWithWord(line, "PUT ")) return Db2Command::kPut;
  return Db2Command::kOther;
}

int TransferEntryName(const char* line, char* entry, int entrySize) {
  if (entrySize <= 0) return kNameTooLong;
  entry[0] = '\0';
  const size_t length = std::strlen(line);
  if (length < 4) return kNoName;
  // The slash search starts behind the command word and one more character.
  const char* name = length > 5 ? std::strchr(line + 5, '/') : nullptr;
  if (name != nullptr) {
    ++name;
  } else {
    name = line + 4;
    while (*name == ' ') ++name;
  }
  return EntryNameOf(name, entry, entrySize);
}

int ConversionEntryName(const char* line, char* entry, int entrySize) {
  if (entrySize <= 0) return kNameTooLong;
  entry[0] = '\0';
  if (CommandOf(line) == Db2Command::kGet) return TransferEntryName(line, entry, entrySize);
  const char* p = line[0] == '/' ? line + 1 : line;
  const char* slash = std::strchr(p, '/');
  if (slash == nullptr) return kNoName;
  return EntryNameOf(slash + 1, entry, entrySize);
}

bool IsUsableEntryName(const char* name) {
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    // A lead byte shields only a real trail byte: one before a TAB or a
    // zero is a byte of its own, and what follows is checked by itself.
    if (IsSjisLeadRange(c) && IsSjisTrailByte(static_cast<unsigned char>(p[1]))) {
      ++p;
      continue;
    }
    // A blank would end the name in the client's get line: the rest would
    // be taken for the local file.
    if (c == '/' || c == '\\' || c == '"' || c == ' ' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

const char* RemoteWords(const char* line) {
  const char* p = line;
  for (int i = 0; i < 4 && *p != '\0'; ++i) ++p;
  while (*p == ' ') ++p;
  return p;
}

bool HasOneRemoteWord(const char* line) {
  const char* p = RemoteWords(line);
  if (*p == '\0') return false;
  for (; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    // A trail byte is never below 0x40: no lead byte needs skipping here.
    if (c <= ' ' || c == 0x7F || c == '"') return false;
  }
  return true;
}

void ShowableName(const char* name, char* out, int size) {
  if (size <= 0) return;
  int n = 0;
  bool trail = false;
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool lead = !trail && IsSjisLeadRange(c);
    if (n + (lead ? 2 : 1) > size - 1) break;  // a character whole, or not at all
    out[n++] = (!trail && !lead && (c < 0x20 || c == 0x7F)) ? '?' : *p;
    trail = lead;
  }
  // A lead byte with no trail byte left is dropped.
  if (trail) --n;
  out[n] = '\0';
}

bool IsImageOf(const char* fileName, const char* entry) {
  const size_t entryLength = std::strlen(entry);
  const size_t length = std::strlen(fileName);
  return length == entryLength + 4 && SameName(fileName, entryLength, entry) &&
         SameName(fileName + entryLength, 4, ".DB2");
}

bool ReadDb2Section(char* out, int size, const std::string& section) {
  if (size <= 0) return false;
  if (size > kMaxDb2SectionSize) size = kMaxDb2SectionSize;
  // The reader's entries; c_str's zero closes the list.
  const char* text = section.c_str();
  size_t kept = 0;
  while (kept < section.size() && text[kept] != '\0') {
    const size_t end = kept + std::strlen(text + kept);
    // The line's zero and the list's closing empty line must fit in size.
    if (end + 2 > static_cast<size_t>(size)) break;
    kept = end + 1;
  }
  std::memcpy(out, text, kept);
  out[kept] = '\0';
  // Whole when no line was left out.
  return kept >= section.size() || text[kept] == '\0';
}
