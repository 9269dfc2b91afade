#include "platform/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/profile_text.h"
#include "base/sjis.h"
#include "base/text.h"
#include "platform/posix/encoding.h"
#include "platform/fileio.h"
#include "platform/stream.h"

// The settings file read the way the Windows profile functions read it,
// with the rules of base/profile_text.h, and cut to the caller's buffer as
// Windows cuts.

namespace {

// A settings file larger than this is not a settings file; reading stops
// there and writing refuses to touch it.
constexpr long kMaxFileSize = 64L * 1024 * 1024;

struct FileText {
  char* data;  // zero-terminated copy, null when the file could not be read
  long size;
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Frees a file text, cleared first: the settings file holds the password.
void FreeFileText(FileText* t) {
  if (t->data != nullptr) WipeText(t->data, static_cast<unsigned long>(t->size));
  std::free(t->data);
  t->data = nullptr;
}

// Reads the whole file; false when it cannot be opened.
bool LoadFile(const char* path, FileText* text, bool* tooBig) {
  text->data = nullptr;
  text->size = 0;
  if (tooBig) *tooBig = false;
  if (path == nullptr) return false;
  FILE* f = OpenStream(path, "rb");
  if (f == nullptr) return false;
  long cap = 4096;
  char* data = static_cast<char*>(std::malloc(static_cast<size_t>(cap) + 1));
  long size = 0;
  while (data != nullptr) {
    if (size == cap) {
      if (cap >= kMaxFileSize) {
        if (tooBig) *tooBig = true;
        break;
      }
      cap *= 2;
      if (cap > kMaxFileSize) cap = kMaxFileSize;
      // Not realloc: the old block, cleared, must not keep a copy.
      char* grown = static_cast<char*>(std::malloc(static_cast<size_t>(cap) + 1));
      if (grown != nullptr) std::memcpy(grown, data, static_cast<size_t>(size));
      WipeText(data, static_cast<unsigned long>(size));
      std::free(data);
      data = grown;
      if (grown == nullptr) break;
    }
    const size_t n = std::fread(data + size, 1, static_cast<size_t>(cap - size), f);
    if (n == 0) break;
    size += static_cast<long>(n);
  }
  std::fclose(f);
  if (data == nullptr) return false;
  data[size] = '\0';
  text->data = data;
  text->size = size;
  return true;
}

using Line = ProfileLine;

bool NextLine(const FileText& t, long pos, Line* line) {
  return NextProfileLine(t.data, t.size, pos, line);
}
long FindSection(const FileText& t, const char* section) {
  return FindProfileSection(t.data, t.size, section);
}
bool FindKey(const FileText& t, long pos, const char* key, Line* found) {
  return FindProfileKey(t.data, t.size, pos, key, found);
}
long TextLength(const char* p, long len) { return ProfileTextLength(p, len); }

// Copies value (len bytes, ending early at a zero byte) into out of size
// bytes. A value wrapped in matching quotes loses them; when the value is cut
// to the buffer the closing quote is cut first, then the value, exactly as
// Windows does it. Returns the length written.
int CopyEntry(char* out, int size, const char* value, long len, bool stripQuotes) {
  len = TextLength(value, len);
  bool quoted = false;
  if (stripQuotes && len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
    quoted = true;
    ++value;
    --len;
  }
  long n = len < size - 1 ? len : size - 1;
  std::memcpy(out, value, static_cast<size_t>(n));
  out[n] = '\0';
  if (quoted && size >= len && n > 0) out[--n] = '\0';
  return static_cast<int>(n);
}

// The default as Windows takes it: trailing spaces dropped, though a text of
// spaces keeps its first.
long DefaultLength(const char* def) {
  long len = static_cast<long>(std::strlen(def));
  while (len > 1 && def[len - 1] == ' ') --len;
  if (len == 1 && def[0] == ' ') return 1;
  return len;
}

// True when the folder of path exists: Windows takes a missing file in an
// existing folder for an empty settings file, and one in a missing folder for
// no file at all (the default then keeps its quotes). '/' is never a trail
// byte of Shift-JIS, so the last one is the separator.
bool FolderOfExists(const char* path) {
  if (path == nullptr) return false;
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return true;
  char folder[1024];
  const size_t len = static_cast<size_t>(slash - path);
  if (len + 2 > sizeof folder) return false;
  std::memcpy(folder, path, len);
  folder[len] = '\0';
  if (len == 0) std::strcpy(folder, "/");
  char utf8[4096];
  struct stat st;
  return SjisToUtf8(folder, utf8, sizeof utf8) && stat(utf8, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int ProfileGetString(const char* section, const char* key, const char* def, char* out, int size,
                     const char* file) {
  if (out == nullptr || size <= 0) return 0;
  if (def == nullptr) def = "";
  FileText t;
  if (!LoadFile(file, &t, nullptr)) {
    return CopyEntry(out, size, def, DefaultLength(def), FolderOfExists(file));
  }
  int n;
  Line line;
  const long at = (section && key) ? FindSection(t, section) : -1;
  if (at >= 0 && FindKey(t, at, key, &line) && line.valueBegin >= 0) {
    n = CopyEntry(out, size, t.data + line.valueBegin, line.valueEnd - line.valueBegin, true);
  } else {
    n = CopyEntry(out, size, def, DefaultLength(def), true);
  }
  FreeFileText(&t);
  return n;
}

int ProfileGetSection(const char* section, char* out, int size, const char* file) {
  if (out == nullptr || size <= 0) return 0;
  // Every entry is laid out whole; what lies past the buffer is only counted.
  long used = 0;
  auto put = [&](const char* p, long len) {
    for (long i = 0; i < len; ++i, ++used) {
      if (used < size) out[used] = p[i];
    }
  };
  FileText t;
  if (section != nullptr && LoadFile(file, &t, nullptr)) {
    long pos = FindSection(t, section);
    Line line;
    for (; pos >= 0 && NextLine(t, pos, &line); pos = line.next) {
      if (line.section) break;
      if (line.blank) continue;
      const char* name = t.data + line.nameBegin;
      const long nameLen = TextLength(name, line.nameEnd - line.nameBegin);
      if (nameLen > 0 && name[0] == ';') continue;  // comment
      put(name, nameLen);
      if (line.valueBegin >= 0) {
        put("=", 1);
        const char* value = t.data + line.valueBegin;
        put(value, TextLength(value, line.valueEnd - line.valueBegin));
      }
      put("", 1);
    }
    FreeFileText(&t);
  }
  if (used == 0) {  // no entry: just the closing empty one
    out[0] = '\0';
    if (size >= 2) out[1] = '\0';
    return 0;
  }
  put("", 1);
  if (used < size) return static_cast<int>(used - 1);
  // Cut: the last entry that fits in part ends with two zero bytes.
  if (size < 2) {
    out[0] = '\0';
    return 0;
  }
  out[size - 2] = '\0';
  out[size - 1] = '\0';
  return size - 2;
}

int ProfileGetInt(const char* section, const char* key, int def, const char* file) {
  // Windows reads the value into a 30-character buffer, then takes an
  // optional sign, a base prefix (0x, 0o, 0b) and the digits that follow,
  // wrapping around 32 bits.
  char text[30];
  if (ProfileGetString(section, key, "", text, sizeof text, file) == 0) return def;
  return ProfileNumber(text);
}

int ProfileWriteString(const char* section, const char* key, const char* value,
                       const char* file) {
  if (section == nullptr || key == nullptr || value == nullptr || file == nullptr) return 0;
  // A line end inside a name or value would make lines of its own.
  if (std::strpbrk(section, "\r\n") || std::strpbrk(key, "\r\n") || std::strpbrk(value, "\r\n")) {
    return 0;
  }
  FileText t;
  bool tooBig = false;
  const bool exists = LoadFile(file, &t, &tooBig);
  if (tooBig) {
    FreeFileText(&t);
    return 0;
  }
  if (!exists) {
    t.data = nullptr;
    t.size = 0;
  }
  const char* d = t.data ? t.data : "";

  // The file's own line end, CR LF for a new file.
  const char* eol = "\r\n";
  for (long i = 0; i < t.size; ++i) {
    if (d[i] == '\n') {
      eol = "\n";
      break;
    }
    if (d[i] == '\r') {
      eol = (i + 1 < t.size && d[i + 1] == '\n') ? "\r\n" : "\r";
      break;
    }
  }

  // Where the new text goes: [cutBegin, cutEnd) of the old text is replaced.
  long cutBegin, cutEnd;
  bool needEolBefore = false;
  bool newSection = false;
  bool keepKeyName = false;
  Line keyLine;
  const long at = (t.data != nullptr) ? FindSection(t, section) : (section[0] == '\0' ? 0 : -1);
  if (at >= 0 && t.data != nullptr && FindKey(t, at, key, &keyLine)) {
    // Same line, its indentation and key spelling kept.
    cutBegin = keyLine.nameEnd;
    cutEnd = keyLine.contentEnd;
    keepKeyName = true;
  } else if (at >= 0) {
    // After the section's last non-blank line.
    long insert = at;
    Line line;
    for (long pos = at; t.data != nullptr && NextLine(t, pos, &line); pos = line.next) {
      if (line.section) break;
      if (!line.blank) insert = line.next;
    }
    cutBegin = cutEnd = insert;
    needEolBefore = insert > 0 && !IsLineEnd(d[insert - 1]);
  } else {
    cutBegin = cutEnd = t.size;
    needEolBefore = t.size > 0 && !IsLineEnd(d[t.size - 1]);
    newSection = true;
  }

  // The new text goes to a temporary file that replaces the settings only
  // when whole: a failed write must not leave half a file (and half a
  // password) behind. It keeps the old file's permissions.
  char temp[kTempPathSize];
  FILE* f = OpenTempStream(file, "wb", temp, sizeof temp);
  if (f == nullptr) {
    FreeFileText(&t);
    return 0;
  }
  char utf8[4096];
  struct stat st;
  if (exists && SjisToUtf8(file, utf8, sizeof utf8) && stat(utf8, &st) == 0) {
    fchmod(fileno(f), st.st_mode & 07777);
  }
  bool ok = std::fwrite(d, 1, static_cast<size_t>(cutBegin), f) == static_cast<size_t>(cutBegin);
  if (needEolBefore) ok = ok && std::fputs(eol, f) >= 0;
  if (newSection) {
    ok = ok && std::fprintf(f, "[%s]%s", section, eol) >= 0;
  }
  if (keepKeyName) {
    ok = ok && std::fprintf(f, "=%s", value) >= 0;
  } else {
    ok = ok && std::fprintf(f, "%s=%s%s", key, value, eol) >= 0;
  }
  const size_t rest = static_cast<size_t>(t.size - cutEnd);
  ok = ok && std::fwrite(d + cutEnd, 1, rest, f) == rest;
  if (ok) {
    ok = CommitTempStream(f, temp, file);
  } else {
    DiscardTempStream(f, temp);
  }
  FreeFileText(&t);
  return ok ? 1 : 0;
}
