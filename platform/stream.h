#pragma once
// C stdio streams opened by a Shift-JIS path.
#include <cstdint>
#include <cstdio>

// fopen with a Shift-JIS path. On POSIX the path is handed to the file system
// in UTF-8, and a file opened for reading that is missing under its exact name
// is looked up in its folder without regard to ASCII case, as Windows would
// find it (<name>.db2 opens <name>.DB2).
FILE* OpenStream(const char* path, const char* mode);

// An existing regular file opened for reading only ("rb"), never through a
// link: a read-only, foreign-owned or immutable file opens, and nothing is
// ever written through the stream. POSIX: O_RDONLY | O_NOFOLLOW, found
// without regard to ASCII case as OpenStream finds it; Windows:
// CreateFileA(GENERIC_READ, FILE_FLAG_OPEN_REPARSE_POINT), and a reparse
// point refused. The system is told it is read once, in order (POSIX
// POSIX_FADV_SEQUENTIAL and NOREUSE, Windows FILE_FLAG_SEQUENTIAL_SCAN).
// Null when it cannot be opened; *isLink (when given) is true when a link
// stood at path.
FILE* OpenReadOnlyStream(const char* path, bool* isLink);

// A text stream appending to path (made when missing), never through a
// link: POSIX O_APPEND | O_CREAT | O_NOFOLLOW; Windows
// CreateFileA(OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT), a reparse point
// refused. Null when it cannot be opened; *isLink (when given) is true when
// a link stood at path.
FILE* OpenAppendStream(const char* path, bool* isLink);

// A file that holds a secret. OpenPrivateTempStream: as OpenTempStream
// (mode "w"), but on POSIX readable and writable by its owner only; it
// replaces target through CommitTempStream. OpenPrivateStreamForUpdate: an
// existing file opened "r+b" to overwrite the secret in place; a link at
// path is not followed (null).
FILE* OpenPrivateTempStream(const char* target, char* tempPath, int size);
FILE* OpenPrivateStreamForUpdate(const char* path);

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
