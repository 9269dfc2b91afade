#pragma once
// Weekday and monthly backup folders of the transfer folder's images.

// Backs up the transfer folder; returns the new run result (the given one
// when no backup root is configured).
int RotateBackups(int runResult);
// Creates one folder level: 0 when created or already there, else -1 with the
// system's text appended to the error text buffer.
int MakeFolder(const char* path);
// Days of month (1-12) of year.
int DaysInMonth(int year, int month);
