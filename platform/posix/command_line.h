#pragma once
// Splitting a Windows-style command line into an argument vector, so that a
// program started on POSIX receives what the same command line gives a
// Windows program. Internal to the POSIX layer.

// Splits line by the rules of CommandLineToArgvW: the program name ends at
// its closing double quote (no backslash rules) or at the first blank; then
// blanks and tabs separate arguments outside double quotes, 2n backslashes
// before a double quote give n backslashes and a quote that toggles quoting,
// 2n+1 give n backslashes and a literal quote, and other backslashes are
// literal. A Shift-JIS double-byte character is one character, so its trail
// byte 0x5C is no backslash. The texts go into buffer and argv receives
// pointers into it, ended by a null pointer. Returns the argument count, or
// -1 when buffer or argv is too small.
int SplitCommandLine(const char* line, char* buffer, int bufferSize, char** argv, int argvSize);
