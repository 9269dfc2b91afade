#pragma once
// Fixed text buffers and bounded copies into them. Every text is Shift-JIS
// and every buffer has the fixed size the program has always used: writers
// go through these copies, which never write past a buffer and never cut a
// double-byte character in two.

constexpr int kPathBufferSize = 256;      // paths: at most 255 characters
constexpr int kFileBaseNameSize = 52;     // a file base name of up to 51 characters
constexpr int kSettingsBufferSize = 3000; // first settings read (it grows), .fdf lines

// Both always terminate dst (size > 0) and return false when src did not fit
// whole: then dst holds the longest prefix of src that ends on a character.
bool CopyText(char* dst, int size, const char* src);
bool AppendText(char* dst, int size, const char* src);

// Overwrites size bytes at text with zeros, in a way the compiler may not
// leave out: a secret (a password) is cleared once used.
void WipeText(void* text, unsigned long size);

// A SHA-256 fingerprint as hosts and tools show it: 64 hex digits in any
// case, colons anywhere ignored, nothing else. False for any other text.
constexpr int kFingerprintSize = 32;
bool ParseFingerprint(const char* text, unsigned char out[kFingerprintSize]);
