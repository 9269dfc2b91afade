#include "tests/unit/support/host_text.h"

const unsigned char kHostCapitals[26] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
                                         0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9,
                                         0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9};

void AddLetters(CodeTables* tables) {
  for (int i = 0; i < 26; ++i) tables->singleByte[kHostCapitals[i]] = static_cast<unsigned char>('A' + i);
  for (int i = 0; i < 10; ++i) tables->singleByte[0xF0 + i] = static_cast<unsigned char>('0' + i);
  tables->singleByte[0x40] = ' ';
  tables->singleByte[0x7F] = '"';
}
