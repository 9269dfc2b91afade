#include "platform/stream.h"

FILE* OpenPrivateStream(const char* path) {
  // The program folder's own permissions guard it, as they guard the
  // settings file that holds the same password.
  return std::fopen(path, "w");
}

FILE* OpenStream(const char* path, const char* mode) {
  // The C runtime takes narrow paths in the ANSI code page (932 on Japanese Windows).
  return std::fopen(path, mode);
}
