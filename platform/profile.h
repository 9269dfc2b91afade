#pragma once
// The settings file, read and written as the Windows profile functions do.
//
// A run reads its settings once, in memory (app/settings_file with
// base/profile_text's rules); the readers here are the platform's own, for
// the tests and fuzzers that hold the two side by side, and the write is
// Last_MonthBackup's write-back.
//
// Windows forwards to GetPrivateProfileStringA and friends. The POSIX version
// follows the same rules (base/profile_text.h): section and key names match without regard to ASCII
// case; blanks around keys and values are dropped; blank lines are not
// delivered; results are cut to the buffer as Windows cuts them; a missing
// file, section or key gives the default; a write keeps the rest of the file
// byte for byte. Values in double or single quotes lose the quotes, as on
// Windows.

// Value of key in section, or def; returns the number of bytes copied (not
// counting the terminator). Cut to size - 1 bytes.
int ProfileGetString(const char* section, const char* key, const char* def,
                     char* out, int size, const char* file);

// Every line of section as consecutive zero-terminated entries ended by an
// empty one. A section longer than the buffer is cut: the last entry that does
// not fit is cut and two zero bytes end the buffer (Windows returns size - 2).
// Returns the number of bytes copied, not counting the final zero.
int ProfileGetSection(const char* section, char* out, int size, const char* file);

// Leading decimal number of the key's value (optional sign), or def.
int ProfileGetInt(const char* section, const char* key, int def, const char* file);

// Sets key in section to value, creating the section, key or file as needed.
// The file is changed in a temporary copy beside it that replaces it only
// when whole (platform/fileio.h): a read-only file, a link, or a failure
// leaves it as it was. Returns non-zero on success.
int ProfileWriteString(const char* section, const char* key, const char* value,
                       const char* file);
