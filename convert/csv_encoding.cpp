#include "convert/csv_encoding.h"

#include <cstdint>
#include <cstring>

#include "base/sjis.h"

namespace {

#include "convert/cp932_utf8.inc"

// The row of kDoubleByteUtf8 of each lead byte.
constexpr int LeadIndex(unsigned lead) { return lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 31; }

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kYenSign[] = "\xC2\xA5";          // U+00A5

inline char* PutPacked(char* out, uint32_t packed) {
  const unsigned n = packed >> 24;
  out[0] = static_cast<char>(packed >> 16);
  out[1] = static_cast<char>(packed >> 8);
  out[2] = static_cast<char>(packed);
  return out + n;
}

}  // namespace

CsvEncoding CsvEncodingOf(const char* value) {
  if (value[0] == '\0' || SameName(value, "Shift_JIS")) return CsvEncoding::kShiftJis;
  if (SameName(value, "UTF-8")) return CsvEncoding::kUtf8;
  if (SameName(value, "UTF-8-BOM")) return CsvEncoding::kUtf8Bom;
  return CsvEncoding::kInvalid;
}

char* PutUtf8(char* out, const char* sjis, size_t length, const char* yenMark) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(sjis);
  size_t i = 0;
  while (i < length) {
    // Plain ASCII, as most of a row is, eight bytes at a time.
    if (i + 8 <= length) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080u) == 0 &&
          (yenMark == nullptr || yenMark < sjis + i || yenMark >= sjis + i + 8)) {
        std::memcpy(out, s + i, 8);
        out += 8;
        i += 8;
        continue;
      }
    }
    const unsigned c = s[i];
    if (sjis + i == yenMark) {
      std::memcpy(out, kYenSign, 2);
      out += 2;
      i += 1;
    } else if (c < 0x80) {
      *out++ = static_cast<char>(c);
      i += 1;
    } else if (IsSjisLeadRange(static_cast<unsigned char>(c))) {
      const unsigned trail = i + 1 < length ? s[i + 1] : 0;
      const bool pair = trail >= 0x40 && trail <= 0xFC && trail != 0x7F;
      const uint32_t packed = pair ? kDoubleByteUtf8[LeadIndex(c)][trail - 0x40] : 0;
      if (packed != 0) {
        out = PutPacked(out, packed);
      } else {
        // An unassigned character is one U+FFFD. A lead byte without a
        // trail byte is one too, and the byte after it is read anew: a
        // comma, a quote or a line end (all below 0x40) stays itself.
        std::memcpy(out, kReplacement, 3);
        out += 3;
      }
      i += pair ? 2 : 1;
    } else {
      const uint32_t packed = kSingleByteUtf8[c];
      if (packed != 0) {
        out = PutPacked(out, packed);
      } else {
        std::memcpy(out, kReplacement, 3);
        out += 3;
      }
      i += 1;
    }
  }
  return out;
}
