#pragma once
// Start-up: the program folder, the settings path and the choice of mode.

// Runs the program for the argument string as Windows passes it (everything
// after the program's own name, blanks before it skipped). Returns the exit
// code: the single-file conversion's result, the batch run's, or -1 when the
// program cannot start (a box says why).
int RunProgram(const char* argString);

// The executable's folder: its path cut after the last separator (never the
// trail byte 0x5C of a double-byte character). For Quenvale.exe this is the
// folder the path minus the 12 characters of the file name gives; under any
// other name it is still the folder. Returns the folder's length, or -1
// (folder emptied) when the path has no separator or the folder does not fit
// in size bytes.
int DeriveProgramFolder(const char* exePath, char* folder, int size);

// The message that refuses argString as a file base name in folder, or null
// when it can serve: it must have at most 51 characters, and folder, the name
// and a four-character extension (".db2", ".csv", ".fdf") must fit in a path
// of 255 characters.
const char* RefuseFileBaseName(const char* folder, const char* argString);
