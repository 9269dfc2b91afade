#pragma once
// Paths: the separator the program puts between folder and file names, and
// the one way a path is split into folder and file name.

#if defined(_WIN32)
constexpr char kPathSep = '\\';
#else
constexpr char kPathSep = '/';
#endif

// Index where the file name of path begins: after its last separator that
// stands as a character of its own (never the trail byte 0x5C of a
// double-byte character), 0 when it has none. The folder, with its
// separator, is path[0, FileNameStart(path)).
int FileNameStart(const char* path);
