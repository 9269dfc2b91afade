#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/posix/command_line.h"
#include "platform/posix/encoding.h"

extern char** environ;

#if defined(__SANITIZE_ADDRESS__)
#define QV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

constexpr int kMaxArguments = 130;  // a 255-character line has at most 128
constexpr int kUtf8PathSize = 4096;

bool IsExecutableFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// Joins folder (length folderLength) and name into out; false when it does not fit.
bool JoinPath(const char* folder, size_t folderLength, const char* name, char* out, size_t size) {
  const size_t nameLength = std::strlen(name);
  const bool slash = folderLength > 0 && folder[folderLength - 1] != '/';
  const size_t total = folderLength + (slash ? 1 : 0) + nameLength;
  if (total + 1 > size) return false;
  std::memcpy(out, folder, folderLength);
  size_t at = folderLength;
  if (slash) out[at++] = '/';
  std::memcpy(out + at, name, nameLength + 1);
  return true;
}

// Finds the program as Windows does for a bare name: first the folder of the
// running executable, then the search path. A name with a slash is taken as
// it is.
bool FindProgram(const char* name, char* out, size_t size) {
  if (name[0] == '\0') return false;
  if (std::strchr(name, '/') != nullptr) {
    if (std::strlen(name) + 1 > size) return false;
    std::strcpy(out, name);
    return true;
  }
  char self[kUtf8PathSize];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    const char* slash = std::strrchr(self, '/');
    if (slash != nullptr &&
        JoinPath(self, static_cast<size_t>(slash - self) + 1, name, out, size) &&
        IsExecutableFile(out)) {
      return true;
    }
  }
  const char* path = std::getenv("PATH");
  if (path == nullptr) path = "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const char* end = std::strchr(path, ':');
    const size_t length = end ? static_cast<size_t>(end - path) : std::strlen(path);
    // An empty entry is the current folder.
    const bool ok = length == 0 ? JoinPath(".", 1, name, out, size)
                                : JoinPath(path, length, name, out, size);
    if (ok && IsExecutableFile(out)) return true;
    if (end == nullptr) break;
    path = end + 1;
  }
  return false;
}

bool IsAscii(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}

// Reads a small /proc file whole; returns its length or -1.
ssize_t ReadSmallFile(const char* path, char* buf, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t used = 0;
  while (used + 1 < size) {
    const ssize_t n = read(fd, buf + used, size - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  buf[used] = '\0';
  return static_cast<ssize_t>(used);
}

const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// The names under which process pid is listed, in UTF-8: image receives the
// file name of the program image it runs (empty when that is hidden, as for
// processes of other users), started the file name it was started from as
// the kernel keeps it: the same file for a program, the script itself for a
// script run through its interpreter. The kernel cuts that name to 15 bytes,
// so a cut name is completed from the image's name or the first argument
// when one of them begins with it. False for a process that has ended (a
// zombie) or is gone.
bool ProcessNames(const char* pid, char* image, char* started, size_t size) {
  image[0] = '\0';
  started[0] = '\0';
  char path[sizeof "/proc//cmdline" + 256];
  char stat[1024];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  if (ReadSmallFile(path, stat, sizeof stat) <= 0) return false;
  const char* open = std::strchr(stat, '(');
  const char* close = std::strrchr(stat, ')');
  if (open == nullptr || close == nullptr || close < open) return false;
  const char* state = close + 1;
  while (*state == ' ') ++state;
  if (*state == 'Z' || *state == 'X' || *state == 'x') return false;

  char target[kUtf8PathSize];
  std::snprintf(path, sizeof path, "/proc/%s/exe", pid);
  const ssize_t n = readlink(path, target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    // An image replaced or removed since the start is still the program.
    static const char kDeleted[] = " (deleted)";
    const size_t dl = sizeof kDeleted - 1;
    if (static_cast<size_t>(n) > dl && std::strcmp(target + n - dl, kDeleted) == 0) {
      target[n - dl] = '\0';
    }
    const char* base = BaseName(target);
    if (std::strlen(base) < size) std::strcpy(image, base);
  }

  const size_t commLength = static_cast<size_t>(close - open - 1);
  if (commLength == 0 || commLength >= size) return true;
  std::memcpy(started, open + 1, commLength);
  started[commLength] = '\0';
  if (commLength == 15) {
    if (std::strncmp(image, started, commLength) == 0) {
      std::strcpy(started, image);
    } else {
      char cmdline[kUtf8PathSize];
      std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
      if (ReadSmallFile(path, cmdline, sizeof cmdline) > 0) {
        const char* first = BaseName(cmdline);  // the first argument ends at its zero
        if (std::strncmp(first, started, commLength) == 0 && std::strlen(first) < size) {
          std::strcpy(started, first);
        }
      }
    }
  }
  return true;
}

// Hands visit one name in Shift-JIS; false when it has no Shift-JIS form.
bool VisitName(const char* name, bool (*visit)(const char*, void*), void* context, bool* stop) {
  if (name[0] == '\0') return false;
  if (IsAscii(name)) {
    *stop = visit(name, context);
    return true;
  }
  char sjis[kUtf8PathSize];
  if (!Utf8ToSjis(name, sjis, sizeof sjis)) return false;
  *stop = visit(sjis, context);
  return true;
}

// Forks the guard of process group group: it holds nothing of this process
// but its end of a pipe, ignores the stop signals a terminal or a service
// manager sends (this process answers those by ending the group itself),
// and kills the group when the pipe's other end closes, which happens when
// this process releases the group or dies.
void StartGuard(pid_t group, StartedProcess* process) {
  int life[2];
  if (pipe2(life, O_CLOEXEC) != 0) return;
  const long openMax = sysconf(_SC_OPEN_MAX);
  const int lastFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;
  const pid_t guard = fork();
  if (guard == 0) {
    // Only async-signal-safe calls from here on. No other descriptor is
    // kept: the folder's lock must end with the run, not with the guard.
    for (int fd = 3; fd < lastFd; ++fd) {
      if (fd != life[0]) close(fd);
    }
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaction(s, &ignore, nullptr);
    char byte;
    while (read(life[0], &byte, 1) < 0 && errno == EINTR) {
    }
    kill(-group, SIGKILL);
    _exit(0);
  }
  close(life[0]);
  if (guard < 0) {
    close(life[1]);
    return;
  }
  process->guardId = static_cast<unsigned long>(guard);
  process->guardPipe = life[1];
}

}  // namespace

void StartProcess(const char* commandLine, StartedProcess* process) {
  *process = StartedProcess{};
  char split[512];
  char* argv[kMaxArguments];
  if (SplitCommandLine(commandLine, split, sizeof split, argv, kMaxArguments) < 1) return;
  StartProcessWithArguments(commandLine, argv, process);
}

void StartProcessWithArguments(const char*, const char* const* arguments, StartedProcess* process) {
  *process = StartedProcess{};
  int argc = 0;
  while (argc < kMaxArguments - 1 && arguments[argc] != nullptr) ++argc;
  if (argc < 1 || arguments[argc] != nullptr) return;
  // The arguments leave in the encoding of this system's file names.
  static char utf8[kMaxArguments][kUtf8PathSize / 4];
  char* utf8Argv[kMaxArguments];
  for (int i = 0; i < argc; ++i) {
    if (!SjisToUtf8(arguments[i], utf8[i], sizeof utf8[i])) return;
    utf8Argv[i] = utf8[i];
  }
  utf8Argv[argc] = nullptr;

  char program[kUtf8PathSize];
  if (!FindProgram(utf8Argv[0], program, sizeof program)) return;

  // The child tells a failed exec through this pipe; a successful one
  // closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return;
  const long openMax = sysconf(_SC_OPEN_MAX);
  const int lastFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec. The client dies
    // with the run, however the run ends (a kill -9 included).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    // A process group of its own: whatever the client starts can be ended
    // with it, and a Ctrl+C on the terminal is the run's to answer.
    setpgid(0, 0);
    // Nothing but the standard streams is handed on, as with handles that
    // are not inherited.
    for (int fd = 3; fd < lastFd; ++fd) {
      if (fd != report[1]) close(fd);
    }
    execve(program, utf8Argv, environ);
    const int error = errno;
    ssize_t ignored = write(report[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    return;
  }
  setpgid(pid, pid);  // also here: the watch may signal the group at once
  int error = 0;
  ssize_t n;
  do {
    n = read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n > 0) {
    waitpid(pid, nullptr, 0);  // the exec failed: nothing runs
    return;
  }
  process->started = true;
  process->id = static_cast<unsigned long>(pid);
  StartGuard(pid, process);
}

bool StartedProcessRunning(const StartedProcess* process) {
  if (!process->started || process->id == 0) return false;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  // WNOWAIT: an ended child stays a zombie, so its id (and group) cannot
  // pass to another process while the watch may still signal it.
  if (waitid(P_PID, static_cast<id_t>(process->id), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return false;
  }
  return info.si_pid == 0;
}

bool StartedProcessTreeRunning(const StartedProcess* process) {
  if (StartedProcessRunning(process)) return true;
  if (!process->started || process->id == 0) return false;
  // Another live member of its process group: what it started.
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char path[sizeof "/proc//stat" + 256];
    char stat[1024];
    std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
    if (ReadSmallFile(path, stat, sizeof stat) <= 0) continue;
    // "pid (name) state ppid pgrp ...": the name may hold anything.
    const char* close = std::strrchr(stat, ')');
    char state = 0;
    long ppid = 0;
    long pgrp = 0;
    if (close == nullptr || std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
    if (pgrp == static_cast<long>(process->id) && state != 'Z' && state != 'X' && state != 'x') {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

bool TerminateStartedProcess(const StartedProcess* process) {
  // The child is not reaped before the watch ends, so its id cannot yet
  // belong to another process.
  if (!process->started || process->id == 0) return false;
  const bool running = StartedProcessTreeRunning(process);
  const pid_t pid = static_cast<pid_t>(process->id);
  kill(-pid, SIGKILL);  // its process group: what it started goes too
  kill(pid, SIGKILL);
  return running;
}

int StartedProcessExitCode(const StartedProcess* process) {
  if (!process->started || process->id == 0) return -1;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  // WNOWAIT: the child stays unreaped until ReleaseStartedProcess.
  if (waitid(P_PID, static_cast<id_t>(process->id), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return -1;
  }
  return info.si_pid != 0 && info.si_code == CLD_EXITED ? info.si_status : -1;
}

bool SetEnvironmentText(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

void ReleaseStartedProcess(StartedProcess* process) {
  if (process->started && process->id != 0) {
    const pid_t pid = static_cast<pid_t>(process->id);
    // The watch is over: what the client left behind in its group goes.
    kill(-pid, SIGKILL);
    // The guard is let go, and reaped before the child: the group's id
    // stays the child's until the guard can no longer signal it.
    if (process->guardId != 0) {
      close(process->guardPipe);
      waitpid(static_cast<pid_t>(process->guardId), nullptr, 0);
      process->guardId = 0;
    }
    waitpid(pid, nullptr, WNOHANG);
  }
  process->started = false;
}

bool ForEachProcessName(bool (*visit)(const char* exeName, void* context), void* context) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char image[kUtf8PathSize];
    char started[kUtf8PathSize];
    if (!ProcessNames(e->d_name, image, started, sizeof image)) continue;
    // A program is listed once; a script also under its interpreter's name.
    bool stop = false;
    VisitName(image[0] != '\0' ? image : started, visit, context, &stop);
    if (!stop && image[0] != '\0' && std::strcmp(image, started) != 0) {
      VisitName(started, visit, context, &stop);
    }
    if (stop) break;
  }
  closedir(proc);
  return true;
}

void DisableCrashDumps() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
#if !defined(QV_ADDRESS_SANITIZER)
  prctl(PR_SET_DUMPABLE, 0);
#endif
}

void SleepMilliseconds(unsigned int milliseconds) {
  timespec t;
  t.tv_sec = milliseconds / 1000;
  t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

long long MonotonicSeconds() {
  timespec t;
  clock_gettime(CLOCK_BOOTTIME, &t);
  return static_cast<long long>(t.tv_sec);
}

int ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}
