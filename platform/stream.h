#pragma once
// C stdio streams opened by a Shift-JIS path.
#include <cstdint>
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

// A new temporary file beside target as a stream for writing (mode "w" or
// "wb"); see FileCreateTemp in platform/fileio.h. Its path goes to tempPath
// (kTempPathSize bytes). Null when it cannot be made.
FILE* OpenTempStream(const char* target, const char* mode, char* tempPath, int size);
// FileStartWriteBack of what the stream has handed to the system from
// *started on; *started moves to its end.
void StreamStartWriteBack(FILE* stream, uint64_t* started);
// Flushes the stream to the disk, closes it and renames it over target.
// False on any failure: the temporary file is then removed and target stays
// as it was.
bool CommitTempStream(FILE* stream, const char* tempPath, const char* target);
// Closes the stream and removes its temporary file; target is untouched.
void DiscardTempStream(FILE* stream, const char* tempPath);
