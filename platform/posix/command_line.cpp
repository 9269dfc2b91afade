#include "platform/posix/command_line.h"

#include "base/sjis.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int SplitCommandLine(const char* line, char* buffer, int bufferSize, char** argv, int argvSize) {
  int used = 0;
  int argc = 0;
  // Room checks: every output byte and every argument slot (plus the final
  // null pointer) is tested before it is written.
  auto put = [&](char c) {
    if (used >= bufferSize) return false;
    buffer[used++] = c;
    return true;
  };
  auto begin = [&]() {
    if (argc + 1 >= argvSize) return false;
    argv[argc++] = buffer + used;
    return true;
  };

  const char* s = line;
  // The program name.
  if (!begin()) return -1;
  if (*s == '"') {
    ++s;
    while (*s != '\0' && *s != '"') {
      if (!put(*s++)) return -1;
    }
    if (*s == '"') ++s;
  } else {
    while (*s != '\0' && !IsBlank(*s)) {
      if (!put(*s++)) return -1;
    }
  }
  if (!put('\0')) return -1;

  while (IsBlank(*s)) ++s;
  bool inArgument = false;
  int backslashes = 0;
  int quotes = 0;  // 1 while inside double quotes
  while (*s != '\0') {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (IsBlank(*s) && quotes == 0) {
      if (inArgument && !put('\0')) return -1;
      inArgument = false;
      while (IsBlank(*s)) ++s;
      backslashes = 0;
      continue;
    }
    if (!inArgument) {
      if (!begin()) return -1;
      inArgument = true;
    }
    if (*s == '\\') {
      if (!put(*s++)) return -1;
      ++backslashes;
    } else if (*s == '"') {
      // The backslashes already copied are halved; an odd one escapes the quote.
      used -= backslashes / 2;
      if (backslashes % 2 == 0) {
        ++quotes;
      } else {
        used -= 1;
        if (!put('"')) return -1;
      }
      ++s;
      backslashes = 0;
      // Runs of quotes: every third one is a literal quote.
      while (*s == '"') {
        if (++quotes == 3) {
          if (!put('"')) return -1;
          quotes = 0;
        }
        ++s;
      }
      if (quotes == 2) quotes = 0;
    } else if (IsSjisLeadRange(c) && s[1] != '\0') {
      if (!put(s[0]) || !put(s[1])) return -1;
      s += 2;
      backslashes = 0;
    } else {
      if (!put(*s++)) return -1;
      backslashes = 0;
    }
  }
  if (inArgument && !put('\0')) return -1;
  argv[argc] = nullptr;
  return argc;
}
