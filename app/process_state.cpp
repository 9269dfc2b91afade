#include "app/process_state.h"

#include <cstdio>
#include <cstring>

char g_ProgramFolder[kPathBufferSize];
char g_SettingsPath[kPathBufferSize];
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

namespace {

// Whole lines, then the omission line once lines were left out. The
// omission line's room ("  ほか" + ten digits + "件のエラーを省略\n") is kept
// free, so it always fits.
struct ErrorLines {
  char text[kErrorTextSize];
  int linesLength;  // bytes of whole lines at the start of text
  int omitted;      // lines left out
};
constexpr int kOmissionRoom = 48;
constexpr int kMaxLineLength = 1000;
ErrorLines s_Errors;

}  // namespace

const char* ErrorText() { return s_Errors.text; }

void ClearErrorText() {
  s_Errors.text[0] = '\0';
  s_Errors.linesLength = 0;
  s_Errors.omitted = 0;
}

void AppendErrorLine(const char* name, const char* message) {
  char line[kMaxLineLength + 2];
  // A cut name takes no message after it: a cut line ends where it was cut.
  CopyText(line, kMaxLineLength + 1, "  ");
  if (AppendText(line, kMaxLineLength + 1, name)) AppendText(line, kMaxLineLength + 1, message);
  int n = static_cast<int>(std::strlen(line));
  if (line[n - 1] != '\n') {
    line[n++] = '\n';
    line[n] = '\0';
  }
  ErrorLines& e = s_Errors;
  if (e.omitted == 0 && e.linesLength + n <= kErrorTextSize - 1 - kOmissionRoom) {
    std::memcpy(e.text + e.linesLength, line, static_cast<size_t>(n) + 1);
    e.linesLength += n;
    return;
  }
  // Later lines are left out too, so that what is shown keeps its order.
  ++e.omitted;
  std::snprintf(e.text + e.linesLength, static_cast<size_t>(kErrorTextSize - e.linesLength),
                "  ほか%d件のエラーを省略\n", e.omitted);
}
