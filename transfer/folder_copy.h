#pragma once
// Copying .DB2 files between folders in 500,000-byte chunks with progress.

// Copy result codes of one file.
constexpr int kCopyOk = 0;
constexpr int kCopyCancelled = -1;
constexpr int kCopyOpenFailed = 1;
constexpr int kCopyReadFailed = 2;
constexpr int kCopyWriteFailed = 3;
constexpr int kCopyTimesFailed = 4;
constexpr int kCopyNoMemory = 9;

// Bytes moved per read and write, with one progress display before each.
constexpr unsigned kCopyChunkSize = 500000;

// Copies every *.DB2 file of source into target (folders given without a
// trailing separator). -1 when cancelled, else the last file's result (0 when
// there was none).
int CopyDb2Files(const char* source, const char* target);
// Copies one file; returns a copy result code. A failed or cancelled copy
// leaves nothing at target. Paths over 255 bytes are refused with code 1.
int CopyFileWithProgress(const char* source, const char* target, const char* caption);

// The progress call made before each chunk: UpdateIndicator, unless a test
// puts a recorder in its place. Returns the cancel flag.
extern int (*g_CopyProgress)(const char* caption, const char* text);
