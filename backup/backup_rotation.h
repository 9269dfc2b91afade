#pragma once
// Weekday and monthly backup folders of the transfer folder's images.

// Backs up the transfer folder; returns the new run result (the given one
// when no backup root is configured).
int RotateBackups(int runResult);
// Creates one folder level: 0 when created or when path is a folder already,
// else -1 (a file of that name too) with the error line "<path>: <the
// system's text>".
int MakeFolder(const char* path);
// Days of month (1-12) of year.
int DaysInMonth(int year, int month);
// Backup period YYYYMM of the date YYYYMMDD when periods begin on day
// monthBackup (99: the last day of a month): the date's own month, or the
// month before when the day lies before the period's first day. December of
// the year before is (YYYY-1)12. A date of 0 or less has no period (-88 for
// 0), so that any real period is later.
int BackupPeriod(int date, int monthBackup);
