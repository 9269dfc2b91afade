#include "app/process_state.h"

#include <cstring>

#include "convert/sjis.h"

char g_ProgramFolder[kPathBufferSize];
char g_SettingsPath[kPathBufferSize];
char g_ErrorText[kPathBufferSize];
char g_FileBaseName[kFileBaseNameSize];

namespace {

// Length of the longest prefix of src (at most limit bytes) that ends on a
// character boundary.
int FittingLength(const char* src, int limit) {
  int n = 0;
  while (n < limit && src[n] != '\0') {
    const unsigned char c = static_cast<unsigned char>(src[n]);
    const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (lead) {
      if (src[n + 1] == '\0' || n + 2 > limit) break;
      n += 2;
    } else {
      n += 1;
    }
  }
  return n;
}

}  // namespace

bool AppendText(char* dst, int size, const char* src) {
  if (size <= 0) return false;
  int used = static_cast<int>(strnlen(dst, static_cast<size_t>(size)));
  if (used >= size) {  // not terminated: repair rather than run past it
    dst[size - 1] = '\0';
    used = size - 1;
  }
  const int room = size - 1 - used;
  const int n = FittingLength(src, room);
  std::memcpy(dst + used, src, static_cast<size_t>(n));
  dst[used + n] = '\0';
  return src[n] == '\0';
}

bool CopyText(char* dst, int size, const char* src) {
  if (size <= 0) return false;
  dst[0] = '\0';
  return AppendText(dst, size, src);
}

void AppendErrorText(const char* text) {
  AppendText(g_ErrorText, kPathBufferSize, text);
}

void AppendErrorLine(const char* name, const char* message) {
  char line[kPathBufferSize * 2];
  CopyText(line, sizeof line, "  ");
  AppendText(line, sizeof line, name);
  AppendText(line, sizeof line, message);
  if (AppendText(g_ErrorText, kPathBufferSize, line)) return;
  // Cut: keep the line end so the next line of the log does not run on.
  const int used = static_cast<int>(std::strlen(g_ErrorText));
  if (used > 0 && g_ErrorText[used - 1] != '\n') {
    int at = used;
    if (at >= kPathBufferSize - 1) {
      // Full: the line end replaces the last character, a double-byte one whole.
      at = kPathBufferSize - 2;
      if (ClassifySjisByte(g_ErrorText, at) == 2) at -= 1;
    }
    g_ErrorText[at] = '\n';
    g_ErrorText[at + 1] = '\0';
  }
}
