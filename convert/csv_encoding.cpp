#include "convert/csv_encoding.h"

#include <cstdint>
#include <cstring>

#include "base/sjis.h"

namespace {

#include "convert/cp932_utf8.inc"

// The row of kDoubleByteUtf8 of each lead byte.
constexpr int LeadIndex(unsigned lead) { return lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 31; }

constexpr bool IsLead(unsigned c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// An entry with its bytes in memory order, as one store puts them: byte 0
// lowest, the length in the top byte (which the next character overwrites).
constexpr uint32_t InMemoryOrder(uint32_t packed) {
  return ((packed >> 16) & 0xFF) | ((packed >> 8) & 0xFF) << 8 | (packed & 0xFF) << 16 | (packed >> 24) << 24;
}

// The tables by code, for one load per character: single bytes, and every
// lead byte with every trail byte (0 where the code page maps nothing). Made
// by the compiler from the generated tables; 257 KiB of constant data.
struct Utf8Codes {
  uint32_t single[256];
  uint32_t pair[65536];
};

constexpr Utf8Codes MakeUtf8Codes() {
  Utf8Codes t{};
  for (unsigned c = 0; c < 256; ++c) {
    t.single[c] = InMemoryOrder(kSingleByteUtf8[c]);
    if (!IsLead(c)) continue;
    for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
      t.pair[c << 8 | trail] = InMemoryOrder(kDoubleByteUtf8[LeadIndex(c)][trail - 0x40]);
    }
  }
  return t;
}

constexpr Utf8Codes kUtf8Codes = MakeUtf8Codes();

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kYenSign[] = "\xC2\xA5";          // U+00A5

// Writes an entry's bytes (and one byte more, which the next character
// overwrites or the caller's slack holds) and returns the position after
// them.
inline char* PutCode(char* out, uint32_t code) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(out, &code, 4);
#else
  out[0] = static_cast<char>(code);
  out[1] = static_cast<char>(code >> 8);
  out[2] = static_cast<char>(code >> 16);
#endif
  return out + (code >> 24);
}

}  // namespace

CsvEncoding CsvEncodingOf(const char* value) {
  if (value[0] == '\0' || SameName(value, "Shift_JIS")) return CsvEncoding::kShiftJis;
  if (SameName(value, "UTF-8")) return CsvEncoding::kUtf8;
  if (SameName(value, "UTF-8-BOM")) return CsvEncoding::kUtf8Bom;
  return CsvEncoding::kInvalid;
}

// The bytes of word that need more than a copy: non-ASCII ones, and zero
// bytes (the currency mark); their top bits set, the others' clear.
inline uint64_t SpecialBytes(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kTops = kOnes << 7;
  return (word & kTops) | ((word - kOnes) & ~word & kTops);
}

// How many bytes of a word, in memory order, come before the first special
// one (mask is not zero).
inline size_t PlainPrefix(uint64_t mask) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return static_cast<size_t>(__builtin_ctzll(mask)) / 8;
#else
  unsigned char bytes[8];
  std::memcpy(bytes, &mask, 8);
  size_t n = 0;
  while (bytes[n] == 0) ++n;
  return n;
#endif
}

char* PutUtf8(char* out, const char* sjis, size_t length) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(sjis);
  size_t i = 0;
  while (i < length) {
    // Plain ASCII, as most of a row is, eight bytes at a time; then the
    // plain bytes before the first that is not (all eight are stored, the
    // ones after them are written over).
    if (i + 8 <= length) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      const uint64_t special = SpecialBytes(word);
      std::memcpy(out, &word, 8);
      if (special == 0) {
        out += 8;
        i += 8;
        continue;
      }
      const size_t plain = PlainPrefix(special);
      out += plain;
      i += plain;
    }
    unsigned c = s[i];
    if (IsSjisLeadRange(static_cast<unsigned char>(c))) {
      // A run of double-byte characters, as Kanji come.
      for (;;) {
        const unsigned trail = i + 1 < length ? s[i + 1] : 0;
        const uint32_t code = kUtf8Codes.pair[c << 8 | trail];
        if (code == 0) {
          // An unassigned character is one U+FFFD. A lead byte without a
          // trail byte is one too, and the byte after it is read anew: a
          // comma, a quote or a line end (all below 0x40) stays itself.
          std::memcpy(out, kReplacement, 3);
          out += 3;
          i += trail >= 0x40 && trail <= 0xFC && trail != 0x7F ? 2 : 1;
          break;
        }
        out = PutCode(out, code);
        i += 2;
        if (i >= length || !IsSjisLeadRange(s[i])) break;
        c = s[i];
      }
    } else if (c == static_cast<unsigned char>(kYenMark)) {
      if (i + 1 < length && s[i + 1] == 0) {
        // Marked UTF-8 text: up to the zero byte that closes it.
        const void* close = std::memchr(s + i + 2, 0, length - (i + 2));
        const size_t end = close != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(close) - s)
                                            : length;
        std::memcpy(out, s + i + 2, end - (i + 2));
        out += end - (i + 2);
        i = end + 1;
        continue;
      }
      std::memcpy(out, kYenSign, 2);
      out += 2;
      i += 1;
    } else {
      const uint32_t code = kUtf8Codes.single[c];
      if (code != 0) {
        out = PutCode(out, code);
      } else {
        std::memcpy(out, kReplacement, 3);
        out += 3;
      }
      i += 1;
    }
  }
  return out;
}

size_t Utf8Block(const char* sjis, size_t length, char* out) {
  return static_cast<size_t>(PutUtf8(out, sjis, length) - out);
}
