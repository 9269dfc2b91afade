#include "platform/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

#include "app/process_state.h"

namespace {

using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using WalkProcessFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

// Looked up at run time: the oldest NT versions lack them, and those are
// excluded by the version test before the look-up.
CreateSnapshotFn g_CreateSnapshot = nullptr;
WalkProcessFn g_Process32First = nullptr;
WalkProcessFn g_Process32Next = nullptr;

template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
  // Through the generic function type, which GCC accepts for any other one.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void StartProcess(const char* commandLine, StartedProcess* process) {
  process->started = false;
  process->id = 0;
  process->processHandle = nullptr;
  process->threadHandle = nullptr;

  // CreateProcessA may write into the command line.
  char line[kPathBufferSize];
  if (!CopyText(line, sizeof line, commandLine)) return;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &info)) {
    return;
  }
  process->started = true;
  process->id = info.dwProcessId;
  process->processHandle = info.hProcess;
  process->threadHandle = info.hThread;
}

bool StartedProcessRunning(const StartedProcess* process) {
  return process->started && process->processHandle != nullptr &&
         WaitForSingleObject(static_cast<HANDLE>(process->processHandle), 0) == WAIT_TIMEOUT;
}

bool TerminateStartedProcess(const StartedProcess* process) {
  if (!process->started) return false;
  HANDLE handle = OpenProcess(0x1F0FFF, FALSE, static_cast<DWORD>(process->id));
  DWORD code = 0;
  GetExitCodeProcess(handle, &code);
  TerminateProcess(handle, code);
  CloseHandle(handle);
  return code == STILL_ACTIVE;
}

void ReleaseStartedProcess(StartedProcess* process) {
  if (process->processHandle != nullptr) CloseHandle(process->processHandle);
  if (process->threadHandle != nullptr) CloseHandle(process->threadHandle);
  process->processHandle = nullptr;
  process->threadHandle = nullptr;
  process->started = false;
}

bool ProcessListUnavailable() {
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const BOOL ok = GetVersionExA(&version);
#pragma GCC diagnostic pop
  return ok && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion < 5;
}

void PrepareProcessList() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  g_CreateSnapshot = LookUp<CreateSnapshotFn>(kernel, "CreateToolhelp32Snapshot");
  g_Process32First = LookUp<WalkProcessFn>(kernel, "Process32First");
  g_Process32Next = LookUp<WalkProcessFn>(kernel, "Process32Next");
}

bool ForEachProcessName(bool (*visit)(const char* exeName, void* context), void* context) {
  // Without the operations there is no list: the pass counts as finding nothing.
  if (g_CreateSnapshot == nullptr || g_Process32First == nullptr || g_Process32Next == nullptr) {
    return false;
  }
  HANDLE snapshot = g_CreateSnapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = g_Process32First(snapshot, &entry); more;
       more = g_Process32Next(snapshot, &entry)) {
    entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
    if (visit(entry.szExeFile, context)) break;
  }
  CloseHandle(snapshot);
  return true;
}

void SleepMilliseconds(unsigned int milliseconds) { Sleep(milliseconds); }

void CreateFolderIgnoringResult(const char* path) { CreateDirectoryA(path, nullptr); }
