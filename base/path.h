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

// folder, a separator unless folder already ends in one, and name into out;
// false when it does not fit in size bytes (out is then not a path to use).
bool JoinPath(char* out, int size, const char* folder, const char* name);

// <programFolder>DB2<sep><name>.DB2<suffix>: where a run keeps the image of
// entry name (suffix "" for the image itself, ".part", ".prev", ".cut" for
// the files beside it). False when it does not fit in size bytes.
bool TransferImagePath(char* out, int size, const char* programFolder, const char* name,
                       const char* suffix = "");

// The temporary files that replace others only when whole are named
// "~qv<process id>-<n>.tmp" and stand beside their target. TempPathFor
// writes that path for target into out; false when it does not fit in size
// bytes (out is then empty).
bool TempPathFor(char* out, int size, const char* target, unsigned long processId, unsigned long n);
// True for a name of that form, letters in either case (as Windows finds them).
bool IsTempFileName(const char* name);
