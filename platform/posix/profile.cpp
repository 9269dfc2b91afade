// Temporary settings reader for tests: only the section read, until the full
// POSIX profile implementation lands.
#include "platform/profile.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "platform/stream.h"

int ProfileGetSection(const char* section, char* out, int size, const char* file) {
  if (size < 2) return 0;
  int o = 0;
  out[0] = out[1] = '\0';
  FILE* f = OpenStream(file, "r");
  if (!f) return 0;
  char line[4096];
  bool inside = false;
  bool cut = false;
  while (!cut && fgets(line, sizeof line, f)) {
    size_t len = strcspn(line, "\r\n");
    while (len > 0 && (line[len - 1] == ' ' || line[len - 1] == '\t')) --len;
    size_t start = 0;
    while (start < len && (line[start] == ' ' || line[start] == '\t')) ++start;
    line[len] = '\0';
    const char* text = line + start;
    len -= start;
    if (len == 0) continue;
    if (text[0] == '[') {
      const char* end = strchr(text, ']');
      inside = end && static_cast<size_t>(end - text - 1) == strlen(section) &&
               strncasecmp(text + 1, section, strlen(section)) == 0;
      continue;
    }
    if (!inside) continue;
    for (size_t k = 0; k <= len; ++k) {
      if (o >= size - 2) {
        cut = true;
        break;
      }
      out[o++] = text[k];
    }
  }
  fclose(f);
  if (cut) {
    out[size - 2] = '\0';
    out[size - 1] = '\0';
    return size - 2;
  }
  out[o] = '\0';
  return o;
}
