#include "platform/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstring>

#include "base/text.h"

namespace {

using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using WalkProcessFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

// PROCESS_ALL_ACCESS as Windows XP and Server 2003 define it: the value of
// later headers (0x1FFFFF) is refused there.
constexpr DWORD kProcessAllAccessXp = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF;

// The process-list operations, looked up at run time in kernel32.dll.
struct ProcessList {
  CreateSnapshotFn createSnapshot;
  WalkProcessFn first;
  WalkProcessFn next;
};

template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
  // Through the generic function type, which GCC accepts for any other one.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void StartProcess(const char* commandLine, StartedProcess* process) {
  *process = StartedProcess{};

  // CreateProcessA may write into the command line.
  char line[kPathBufferSize];
  if (!CopyText(line, sizeof line, commandLine)) return;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  // A job that kills what is in it when its last handle closes: the client
  // and what it starts end with this process, however it ends. A process of
  // it that crashes ends at once instead of waiting on an error box that no
  // one sees in an unattended run (Wine does not honour this; see
  // HeldByDebugger).
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(job);
      job = nullptr;
    }
  }
  // No console window for a console program (the GUI program has no console
  // to share, so each client showed an empty window of its own). What it
  // writes goes to this process's standard handles, where there are any:
  // copies that the child inherits, and no other handle of this process is
  // inheritable.
  HANDLE inherited[3] = {nullptr, nullptr, nullptr};
  const DWORD stdIds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    const HANDLE h = GetStdHandle(stdIds[i]);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
      DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &inherited[i], 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
    }
  }
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inherited[0];
  startup.hStdOutput = inherited[1];
  startup.hStdError = inherited[2];
  // Suspended until it is in the job, so that nothing it starts escapes.
  const BOOL created = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE,
                                      NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &info);
  for (HANDLE h : inherited) {
    if (h != nullptr) CloseHandle(h);
  }
  if (!created) {
    if (job != nullptr) CloseHandle(job);
    return;
  }
  // A system that refuses (an older Windows running this program in a job
  // of its own) leaves the client watched by its handle alone.
  if (job != nullptr && !AssignProcessToJobObject(job, info.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(info.hThread);
  process->started = true;
  process->id = info.dwProcessId;
  process->processHandle = info.hProcess;
  process->threadHandle = info.hThread;
  process->jobHandle = job;
}

namespace {

// True when a debugger holds the process. In an unattended run that is a
// crash: Wine starts the system's debugger (AeDebug, winedbg --auto) for
// any process that crashes, whatever its error mode, and that debugger
// waits on a dialog no one answers, holding the crashed process; both are
// in the job, so the watch waited for the time limit with the client long
// done. A job with such a process counts as ended (its console host and
// the debugger still run, but nothing of it will finish), and the job's
// close ends what is left.
bool HeldByDebugger(HANDLE process) {
  BOOL present = FALSE;
  return CheckRemoteDebuggerPresent(process, &present) && present;
}

// What the job's processes are doing, each listed process asked itself.
// The job's count of active processes alone is not to be trusted: under
// Wine it stayed above zero with nothing of the job left (after the Wine
// server had been restarted). A process that cannot be opened is gone.
enum class JobState { kUnknown, kEnded, kRunning, kCrashed };

JobState StateOfJob(HANDLE job) {
  // Room for 64 ids. The ids are read from the bytes, not through the
  // header's one-element array: indexing past it lets the compiler assume
  // the list never holds more than one id, and only the first was looked at.
  constexpr DWORD kRoom = 64;
  constexpr size_t kIdsAt = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
  alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) unsigned char bytes[kIdsAt + kRoom * sizeof(ULONG_PTR)];
  std::memset(bytes, 0, sizeof bytes);
  if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, bytes, sizeof bytes, nullptr) &&
      GetLastError() != ERROR_MORE_DATA) {
    return JobState::kUnknown;
  }
  DWORD assigned = 0;
  DWORD listed = 0;
  std::memcpy(&assigned, bytes + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, NumberOfAssignedProcesses),
              sizeof assigned);
  std::memcpy(&listed, bytes + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, NumberOfProcessIdsInList),
              sizeof listed);
  if (listed < assigned || listed > kRoom) return JobState::kRunning;  // more than listed
  JobState state = JobState::kEnded;
  for (DWORD i = 0; i < listed && state != JobState::kCrashed; ++i) {
    ULONG_PTR id = 0;
    std::memcpy(&id, bytes + kIdsAt + i * sizeof id, sizeof id);
    HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (p == nullptr) continue;
    if (WaitForSingleObject(p, 0) == WAIT_TIMEOUT) {
      state = HeldByDebugger(p) ? JobState::kCrashed : JobState::kRunning;
    }
    CloseHandle(p);
  }
  return state;
}

}  // namespace

bool StartedProcessTreeRunning(const StartedProcess* process) {
  // The started process first, by its own handle: nothing can be staler.
  const bool runs = StartedProcessRunning(process);
  if (runs && HeldByDebugger(static_cast<HANDLE>(process->processHandle))) return false;
  if (process->started && process->jobHandle != nullptr) {
    // Asked even while the started process runs: a wrapper waits for its
    // crashed child as long as the debugger holds that.
    const JobState state = StateOfJob(static_cast<HANDLE>(process->jobHandle));
    if (state == JobState::kCrashed) return false;
    if (state != JobState::kUnknown) return runs || state == JobState::kRunning;
    if (runs) return true;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    std::memset(&accounting, 0, sizeof accounting);
    if (QueryInformationJobObject(static_cast<HANDLE>(process->jobHandle),
                                  JobObjectBasicAccountingInformation, &accounting,
                                  sizeof accounting, nullptr)) {
      return accounting.ActiveProcesses > 0;
    }
  }
  return runs;
}

void StartProcessWithArguments(const char* commandLine, const char* const*, StartedProcess* process) {
  StartProcess(commandLine, process);
}

bool StartedProcessRunning(const StartedProcess* process) {
  return process->started && process->processHandle != nullptr &&
         WaitForSingleObject(static_cast<HANDLE>(process->processHandle), 0) == WAIT_TIMEOUT;
}

bool TerminateStartedProcess(const StartedProcess* process) {
  if (!process->started) return false;
  if (process->jobHandle != nullptr) {
    const bool running = StartedProcessTreeRunning(process);
    TerminateJobObject(static_cast<HANDLE>(process->jobHandle), 1);
    if (running) return true;
  }
  HANDLE handle = OpenProcess(kProcessAllAccessXp, FALSE, static_cast<DWORD>(process->id));
  DWORD code = 0;
  GetExitCodeProcess(handle, &code);
  TerminateProcess(handle, code);
  CloseHandle(handle);
  return code == STILL_ACTIVE;
}

int StartedProcessExitCode(const StartedProcess* process) {
  DWORD code = 0;
  if (!process->started || process->processHandle == nullptr ||
      !GetExitCodeProcess(static_cast<HANDLE>(process->processHandle), &code) || code == STILL_ACTIVE) {
    return -1;
  }
  return static_cast<int>(code);
}

bool SetEnvironmentText(const char* name, const char* value) {
  return SetEnvironmentVariableA(name, value) != FALSE;
}

void ReleaseStartedProcess(StartedProcess* process) {
  if (process->processHandle != nullptr) CloseHandle(process->processHandle);
  if (process->threadHandle != nullptr) CloseHandle(process->threadHandle);
  // The job's last handle: whatever is left in it ends now.
  if (process->jobHandle != nullptr) CloseHandle(process->jobHandle);
  process->processHandle = nullptr;
  process->threadHandle = nullptr;
  process->jobHandle = nullptr;
  process->started = false;
}

const ProcessList& LookUpProcessList() {
  static const ProcessList list = [] {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return ProcessList{LookUp<CreateSnapshotFn>(kernel, "CreateToolhelp32Snapshot"),
                       LookUp<WalkProcessFn>(kernel, "Process32First"),
                       LookUp<WalkProcessFn>(kernel, "Process32Next")};
  }();
  return list;
}

bool ForEachProcessName(bool (*visit)(const char* exeName, void* context), void* context) {
  const ProcessList& list = LookUpProcessList();
  // Without the operations there is no list: the pass counts as finding nothing.
  if (list.createSnapshot == nullptr || list.first == nullptr || list.next == nullptr) return false;
  HANDLE snapshot = list.createSnapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = list.first(snapshot, &entry); more; more = list.next(snapshot, &entry)) {
    entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
    if (visit(entry.szExeFile, context)) break;
  }
  CloseHandle(snapshot);
  return true;
}

namespace {

// A crash ends the process at once, with the exception's code as its exit
// code: no error report is made of its memory, and no debugger is started
// (Wine starts the system's one whatever the error mode, and it waits on a
// dialog that no one answers in an unattended run).
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

void DisableCrashDumps() {
  SetUnhandledExceptionFilter(EndOnCrash);
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // Looked up: Windows XP has neither.
  using SetFlagsFn = HRESULT(WINAPI*)(DWORD);
  using ExcludeFn = HRESULT(WINAPI*)(PCWSTR, BOOL);
  constexpr DWORD kNoHeap = 1;  // WER_FAULT_REPORTING_FLAG_NOHEAP
  if (auto setFlags = LookUp<SetFlagsFn>(GetModuleHandleA("kernel32.dll"), "WerSetFlags")) setFlags(kNoHeap);
  HMODULE wer = LoadLibraryA("wer.dll");
  if (wer == nullptr) return;
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const wchar_t* name = path;
  for (DWORD i = 0; i < n && i < MAX_PATH; ++i) {
    if (path[i] == L'\\' || path[i] == L'/') name = path + i + 1;
  }
  // For this user, by file name: no report, so no dump, of this program.
  if (auto exclude = LookUp<ExcludeFn>(wer, "WerAddExcludedApplication")) {
    if (n > 0 && n < MAX_PATH) exclude(name, FALSE);
  }
}

void SleepMilliseconds(unsigned int milliseconds) { Sleep(milliseconds); }

long long MonotonicSeconds() { return static_cast<long long>(GetTickCount64() / 1000); }

int ProcessorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  int n = 0;
  for (; process != 0; process &= process - 1) ++n;
  return n > 0 ? n : 1;
}
