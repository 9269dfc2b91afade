#pragma once
// Process-wide state of a run. One thread uses all of it, so nothing is
// guarded. Every text is Shift-JIS and every buffer has the fixed size the
// program has always used; writers must respect the size.

constexpr int kPathBufferSize = 256;     // paths and the error text
constexpr int kFileBaseNameSize = 52;    // a file base name of up to 51 characters
constexpr int kSettingsBufferSize = 3000;

// The executable's folder with its trailing separator.
extern char g_ProgramFolder[kPathBufferSize];
// g_ProgramFolder + "Quenvale.ini".
extern char g_SettingsPath[kPathBufferSize];
// Error lines of the run ("  " message "\n"), written out by the run log and
// shown by the single-file summary box. Emptied at start-up only.
extern char g_ErrorText[kPathBufferSize];
// The single-file argument, then each batch entry name in turn.
extern char g_FileBaseName[kFileBaseNameSize];

// Appends text to the error text buffer. What does not fit is cut, never in
// the middle of a double-byte character.
void AppendErrorText(const char* text);
// Appends "  " + name + message to the error text buffer; message normally
// ends with "\n". Cut like AppendErrorText, except that a cut line still ends
// with "\n" so the run log stays readable.
void AppendErrorLine(const char* name, const char* message);

// Bounded copies of zero-terminated texts. Both always terminate dst (size >
// 0) and return false when src did not fit whole; a cut never splits a
// double-byte character.
bool CopyText(char* dst, int size, const char* src);
bool AppendText(char* dst, int size, const char* src);
