#pragma once
// Where the running program lives.

// Writes the full path of the running executable (Shift-JIS) into buf, cut to
// size - 1 bytes, and returns its length; 0 when it cannot be had.
int GetExecutablePath(char* buf, int size);
