#pragma once
// Process-wide state of a run. One thread uses all of it, so nothing is
// guarded. Every text is Shift-JIS and every buffer has the fixed size the
// program has always used; writers must respect the size.

constexpr int kPathBufferSize = 256;     // paths
// The error text keeps a whole night's error lines; past that, one last line
// says how many were left out.
constexpr int kErrorTextSize = 32 * 1024;
constexpr int kFileBaseNameSize = 52;    // a file base name of up to 51 characters
constexpr int kSettingsBufferSize = 3000;

// The executable's folder with its trailing separator.
extern char g_ProgramFolder[kPathBufferSize];
// g_ProgramFolder + "Quenvale.ini".
extern char g_SettingsPath[kPathBufferSize];
// The single-file argument, then each batch entry name in turn.
extern char g_FileBaseName[kFileBaseNameSize];

// The error text: the run's error lines ("  " message "\n"), written out by
// the run log and shown by the single-file summary box. Emptied at start-up
// only. It is cut only between whole lines: once a line no longer fits,
// that line and every later one are left out and counted in a last line
// "  ほか<n>件のエラーを省略\n".
const char* ErrorText();
void ClearErrorText();
// Appends the line "  " + name + message; message normally ends with "\n"
// (a line that does not is given one). A line longer than 1,000 bytes is cut
// at a whole character.
void AppendErrorLine(const char* name, const char* message);

// Bounded copies of zero-terminated texts. Both always terminate dst (size >
// 0) and return false when src did not fit whole; a cut never splits a
// double-byte character.
bool CopyText(char* dst, int size, const char* src);
bool AppendText(char* dst, int size, const char* src);
