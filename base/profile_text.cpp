#include "base/profile_text.h"

#include <cstring>

#include "base/sjis.h"

namespace {

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1a;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

bool NameEquals(const char* p, long len, const char* name) {
  return SameName(p, static_cast<size_t>(ProfileTextLength(p, len)), name);
}

}  // namespace

bool NextProfileLine(const char* d, long size, long pos, ProfileLine* line) {
  if (pos >= size) return false;
  long e = pos;
  while (e < size && !IsLineEnd(d[e])) ++e;
  line->start = pos;
  line->contentEnd = e;
  long next = e;
  if (next < size && d[next] == '\r') ++next;
  if (next < size && d[next] == '\n') ++next;
  line->next = next;

  long b = pos;
  while (b < e && IsBlank(static_cast<unsigned char>(d[b]))) ++b;
  while (e > b && IsBlank(static_cast<unsigned char>(d[e - 1]))) --e;
  line->blank = b == e;
  line->section = false;
  line->valueBegin = line->valueEnd = -1;
  line->nameBegin = b;
  line->nameEnd = e;
  if (line->blank) return true;

  if (d[b] == '[') {
    long close = e;
    while (close > b + 1 && d[close - 1] != ']') --close;
    if (close > b + 1) {  // found a ']' after the '['
      long nb = b + 1, ne = close - 1;
      while (nb < ne && IsBlank(static_cast<unsigned char>(d[nb]))) ++nb;
      while (ne > nb && IsBlank(static_cast<unsigned char>(d[ne - 1]))) --ne;
      line->section = true;
      line->nameBegin = nb;
      line->nameEnd = ne;
      return true;
    }
  }
  const void* eq = std::memchr(d + b, '=', static_cast<size_t>(e - b));
  if (eq != nullptr) {
    const long at = static_cast<const char*>(eq) - d;
    long ne = at;
    while (ne > b && IsBlank(static_cast<unsigned char>(d[ne - 1]))) --ne;
    long vb = at + 1;
    while (vb < e && IsBlank(static_cast<unsigned char>(d[vb]))) ++vb;
    line->nameEnd = ne;
    line->valueBegin = vb;
    line->valueEnd = e;
  }
  return true;
}

long ProfileTextLength(const char* p, long len) {
  const void* z = std::memchr(p, '\0', static_cast<size_t>(len));
  return z ? static_cast<const char*>(z) - p : len;
}

long FindProfileSection(const char* text, long size, const char* section) {
  if (section[0] == '\0') return 0;
  ProfileLine line;
  for (long pos = 0; NextProfileLine(text, size, pos, &line); pos = line.next) {
    if (line.section && NameEquals(text + line.nameBegin, line.nameEnd - line.nameBegin, section)) {
      return line.next;
    }
  }
  return -1;
}

bool FindProfileKey(const char* text, long size, long pos, const char* key, ProfileLine* found) {
  ProfileLine line;
  for (; NextProfileLine(text, size, pos, &line); pos = line.next) {
    if (line.section) return false;
    if (!line.blank && NameEquals(text + line.nameBegin, line.nameEnd - line.nameBegin, key)) {
      *found = line;
      return true;
    }
  }
  return false;
}

bool ProfileValue(const std::string& text, const char* section, const char* key,
                  std::string* value) {
  const char* d = text.data();
  const long size = static_cast<long>(text.size());
  ProfileLine line;
  const long at = FindProfileSection(d, size, section);
  if (at < 0 || !FindProfileKey(d, size, at, key, &line) || line.valueBegin < 0) return false;
  const char* v = d + line.valueBegin;
  long len = ProfileTextLength(v, line.valueEnd - line.valueBegin);
  if (len >= 2 && (v[0] == '"' || v[0] == '\'') && v[len - 1] == v[0]) {
    ++v;
    len -= 2;
  }
  value->assign(v, static_cast<size_t>(len));
  return true;
}

std::string ProfileSection(const std::string& text, const char* section) {
  const char* d = text.data();
  const long size = static_cast<long>(text.size());
  std::string entries;
  ProfileLine line;
  for (long pos = FindProfileSection(d, size, section); pos >= 0 && NextProfileLine(d, size, pos, &line);
       pos = line.next) {
    if (line.section) break;
    if (line.blank) continue;
    const char* name = d + line.nameBegin;
    const long nameLen = ProfileTextLength(name, line.nameEnd - line.nameBegin);
    if (nameLen > 0 && name[0] == ';') continue;  // comment
    entries.append(name, static_cast<size_t>(nameLen));
    if (line.valueBegin >= 0) {
      entries += '=';
      const char* v = d + line.valueBegin;
      entries.append(v, static_cast<size_t>(ProfileTextLength(v, line.valueEnd - line.valueBegin)));
    }
    entries += '\0';
  }
  return entries;
}

int ProfileNumber(const char* p) {
  while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
  bool negative = false;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    negative = true;
    ++p;
  }
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
    base = p[1] == 'x' ? 16 : p[1] == 'o' ? 8 : 2;
    p += 2;
  }
  unsigned total = 0;
  for (;; ++p) {
    unsigned digit;
    if (*p >= '0' && *p <= '9') {
      digit = static_cast<unsigned>(*p - '0');
    } else if (*p >= 'a' && *p <= 'z') {
      digit = static_cast<unsigned>(*p - 'a' + 10);
    } else if (*p >= 'A' && *p <= 'Z') {
      digit = static_cast<unsigned>(*p - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    total = total * base + digit;
  }
  if (negative) total = 0u - total;
  return static_cast<int>(total);
}
