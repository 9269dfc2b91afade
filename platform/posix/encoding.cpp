#include "platform/posix/encoding.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>

namespace {

// One conversion; lenient replaces what cannot be converted by '?'.
bool Convert(const char* to, const char* from, const char* in, char* out, size_t outSize,
             bool lenient) {
  if (outSize == 0) return false;
  out[0] = '\0';
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* src = const_cast<char*>(in);
  size_t srcLeft = std::strlen(in);
  char* dst = out;
  size_t dstLeft = outSize - 1;  // room for the terminator
  bool ok = true;
  while (srcLeft > 0) {
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if ((errno == EILSEQ || errno == EINVAL) && lenient && dstLeft > 0) {
      *dst++ = '?';
      --dstLeft;
      ++src;
      --srcLeft;
      continue;
    }
    ok = false;
    break;
  }
  iconv_close(cd);
  *dst = '\0';
  if (!ok && !lenient) out[0] = '\0';
  return ok;
}

}  // namespace

bool SjisToUtf8(const char* in, char* out, size_t outSize) {
  return Convert("UTF-8", "CP932", in, out, outSize, false);
}

bool Utf8ToSjis(const char* in, char* out, size_t outSize) {
  return Convert("CP932", "UTF-8", in, out, outSize, false);
}

void SjisToTerminal(const char* in, char* out, size_t outSize) {
  static const char* codeset = nullptr;
  if (codeset == nullptr) {
    std::setlocale(LC_CTYPE, "");
    const char* cs = nl_langinfo(CODESET);
    // The C locale reports ASCII; a Japanese user's terminal is UTF-8 then.
    codeset = (cs == nullptr || *cs == '\0' || std::strcmp(cs, "ANSI_X3.4-1968") == 0) ? "UTF-8" : cs;
  }
  Convert(codeset, "CP932", in, out, outSize, true);
}
