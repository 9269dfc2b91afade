#pragma once
// Starting, listing and terminating processes, for the watched external
// process.

// What the start of a process leaves behind. Besides id, it keeps the
// process id from being given to another process until the watch has ended
// (Windows: the two handles; POSIX: the unreaped child), and holds what
// the process starts (Windows: a job object that kills every process in it
// when its last handle closes, the run's end or death included; POSIX: the
// process group).
struct StartedProcess {
  bool started;          // false: nothing runs, nothing may be terminated
  unsigned long id;      // process id
  void* processHandle;   // Windows only
  void* threadHandle;    // Windows only
  void* jobHandle;       // Windows only; null when the system gave no job
  unsigned long guardId; // POSIX only: the guard of the process group, 0: none
  int guardPipe;         // POSIX only, with guardId: its end of the guard's pipe
};

// Starts commandLine: the program in double quotes, then optionally a blank
// and the arguments, at most 255 characters. Windows hands it to
// CreateProcessA as it is. POSIX splits it as the Windows command-line rules
// do, looks a bare program name up in the running executable's folder and
// then on PATH, starts it in a process group of its own that the system
// kills with SIGKILL should this process die first (PR_SET_PDEATHSIG), and
// returns once the program has replaced the child. PR_SET_PDEATHSIG reaches
// the started process only, so a guard (a small fork of this process) waits
// on a pipe whose other end only this process holds: when it closes, however
// this process ended (kill -9 included), the guard kills the whole group,
// and what the program started goes with it. Windows starts it in a job
// object.
void StartProcess(const char* commandLine, StartedProcess* process);

// As StartProcess, but on POSIX the program and its arguments are arguments
// (ended by a null pointer), handed over as they are and never split, so a
// path may hold any character; Windows starts commandLine, which must say
// the same.
void StartProcessWithArguments(const char* commandLine, const char* const* arguments,
                               StartedProcess* process);

// True while the started process runs (whatever its executable's name has
// become since). Leaves an ended child unreaped.
bool StartedProcessRunning(const StartedProcess* process);

// True while the started process or anything it started runs (Windows: a
// process of its job; POSIX: of its process group). Windows: a job one of
// whose processes a debugger holds has crashed and counts as ended (under
// Wine the system's debugger holds every process that crashes).
bool StartedProcessTreeRunning(const StartedProcess* process);

// Terminates the started process and what it started (its job, its process
// group), and no other. Failures are ignored; does nothing when the start
// failed. True when the process was still running.
bool TerminateStartedProcess(const StartedProcess* process);

// The exit status of the started process once it has ended by itself
// (exited, not killed), else -1.
int StartedProcessExitCode(const StartedProcess* process);

// Sets an environment variable of this process, which the processes it
// starts from then on inherit. False when the system refuses it.
bool SetEnvironmentText(const char* name, const char* value);

// Gives back what the start kept (closes the handles, the job's last one
// ending what is left in it; on POSIX ends what is left of its process
// group, so nothing it started outlives the run, and reaps the child).
void ReleaseStartedProcess(StartedProcess* process);

// Calls visit with the executable file name of every running process (a bare
// name or a full path, Shift-JIS) until visit returns true. Processes that
// have ended but are not yet reaped are not listed. On POSIX a script run
// through its interpreter is listed under both names, the interpreter's and
// the script's, so that a script can stand in for a program. Returns false
// when the list could not be taken.
bool ForEachProcessName(bool (*visit)(const char* exeName, void* context), void* context);

// Keeps a crash of this process from leaving its memory (the password) on
// the disk, called first thing by both programs. POSIX: no core file
// (RLIMIT_CORE 0, and not dumpable; AddressSanitizer builds stay dumpable,
// which LeakSanitizer's tracer needs). Windows: a crash ends the process at
// once with the exception's code (an unhandled-exception filter, so that
// neither error reporting nor a debugger is started), no fault dialog
// (SetErrorMode), no heap in an error report (WerSetFlags) and, where
// wer.dll offers it, the program left out of error reporting
// (WerAddExcludedApplication).
void DisableCrashDumps();

// Pauses the calling thread.
void SleepMilliseconds(unsigned int milliseconds);

// Whole seconds of real time since an arbitrary origin, the machine's sleep
// included (GetTickCount64, CLOCK_BOOTTIME): setting the calendar clock (a
// time sync, a user's change) does not move it. Not GetTicks: that wraps
// after 49.7 days, well within the range of a time limit.
long long MonotonicSeconds();

// The processors this process may run on (its affinity mask:
// GetProcessAffinityMask, sched_getaffinity); at least 1.
int ProcessorCount();
