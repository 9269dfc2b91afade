#include "platform/stream.h"

FILE* OpenStream(const char* path, const char* mode) {
  // The C runtime takes narrow paths in the ANSI code page (932 on Japanese Windows).
  return std::fopen(path, mode);
}
