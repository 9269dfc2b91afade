#pragma once
#include <string>

// Lines of the settings section [DB2]: FTP commands ("cd ", "get ", "put ")
// whose get and put lines name host files LIBRARY/FILE.MEMBER, and lines that
// only name a file to convert. One parser serves the FTP script and the batch
// run's conversion list, so that an image is converted under the very name
// it was stored under.
//
// Entry name: the base name under which a host member is stored, backed up
// and converted. From file and member it is the member alone when the two are
// equal without regard to ASCII case, else file + "_" + member.

enum class Db2Command { kOther, kCd, kGet, kPut };

// The command word that begins line, with its blank, in any letter case.
Db2Command CommandOf(const char* line);

// Results of the name derivations below.
constexpr int kNameFound = 1;
constexpr int kNoName = 0;       // the line names no file
constexpr int kNameTooLong = -1;  // longer than entrySize - 1 bytes (entry emptied)

// Entry name of a get or put line, under which the FTP job stores the image:
// the name part follows the first '/' found from the line's sixth character
// on (so "get /X.Y" finds none), or else starts at the fifth character with
// blanks skipped; it divides at its first '.' into file and member, the
// member running to the end of the line.
int TransferEntryName(const char* line, char* entry, int entrySize);

// Entry name of a line for the conversion list: a get line's is its
// TransferEntryName; any other line's is the text after its first '/' (a
// '/' opening the line does not count), divided at its first '.'.
int ConversionEntryName(const char* line, char* entry, int entrySize);

// False for an entry name that would reach outside the transfer folder or
// break a script line: one holding a path separator ('/' or '\', never the
// trail byte of a double-byte character), a double quote, a blank or a
// control character, and the names "." and "..". A lead byte pairs only with
// a valid trail byte; otherwise both are checked as single bytes.
bool IsUsableEntryName(const char* name);

// True when a get or put line holds exactly one word after its command
// word (the blanks behind it skipped): no blank, TAB, other control
// character or double quote follows. The client reads a second word as
// the local file (get QGPL X/OUT.TXT fetched QGPL into X/OUT.TXT), and a
// quote joins or splits its words.
bool HasOneRemoteWord(const char* line);

// The words of a get or put line after its command word, blanks behind it
// skipped: the name its refusal shows when it has more than one.
const char* RemoteWords(const char* line);

// name as it may stand in a log line: control characters shown as '?', cut
// to size - 1 bytes at a whole character.
void ShowableName(const char* name, char* out, int size);

// True when fileName is entry's image name, entry + ".DB2", with ASCII
// letters compared without regard to case as Windows compares file names.
bool IsImageOf(const char* fileName, const char* entry);

// Copies the run's [DB2] section (Settings::db2) into out (size bytes, at
// most kMaxDb2SectionSize, the limit of the conversion list): consecutive zero-terminated lines ended by an
// empty one. A line that size would cut is left out with every line after
// it, as if the section ended before it: a cut name is no name. The FTP
// job and the batch run's conversion list both take it from the one
// Settings, so that they walk the same lines. False when a line was left out.
constexpr int kMaxDb2SectionSize = 65536;
bool ReadDb2Section(char* out, int size, const std::string& section);
