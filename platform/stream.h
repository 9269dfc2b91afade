#pragma once
// C stdio streams opened by a Shift-JIS path.
#include <cstdio>

// fopen with a Shift-JIS path. On POSIX the path is handed to the file system
// in UTF-8, and a file opened for reading that is missing under its exact name
// is looked up in its folder without regard to ASCII case, as Windows would
// find it (<name>.db2 opens <name>.DB2).
FILE* OpenStream(const char* path, const char* mode);

// A text stream for writing a file that holds a secret: created or emptied;
// on POSIX readable and writable by its owner only, and a link at path is
// not followed (the open fails).
FILE* OpenPrivateStream(const char* path);
