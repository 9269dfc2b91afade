#pragma once
// Weekday and monthly backup folders of the transfer folder's images.
#include "base/job_context.h"

class CopyFilter;
class ErrorText;
struct Settings;
class Progress;

// The backup root (settings key BackupDir, at most 255 characters) into root
// (kPathBufferSize bytes); empty means no backup. A longer one is not cut:
// root is emptied and an error line says so.
void ReadBackupRoot(const Settings& settings, char* root, ErrorText* errors);

// Backs up the transfer folder under root on the day of dateCode (the run
// log's YYYYMMDDW): into the weekday folder, and once per monthly period
// (MonthBackup, Last_MonthBackup) into the monthly folder "NN月". Returns
// the new run result: the result of its last action, negative when a folder
// could not be made or a copy was cancelled. Images that leave, when given,
// says to leave are not backed up.
int RotateBackups(const JobContext& job, const char* root, int dateCode, Progress* progress,
                  const CopyFilter* leave = nullptr);
// Creates one folder level: 0 when created or when path is a folder already,
// else -1 (a file of that name too) with the error line "<path>: <the
// system's text>".
int MakeFolder(const char* path, ErrorText* errors);
// Days of month (1-12) of year.
int DaysInMonth(int year, int month);
// Backup period YYYYMM of the date YYYYMMDD when periods begin on day
// monthBackup (99: the last day of a month): the date's own month, or the
// month before when the day lies before the period's first day. December of
// the year before is (YYYY-1)12. A date of 0 or less has no period (-88 for
// 0), so that any real period is later.
int BackupPeriod(int date, int monthBackup);
