// ftp.exe: a small command-line FTP client that runs a script the way the
// Windows client does when started as
//
//   ftp.exe -s:<script> <host>
//
// It connects to the host, answers the log-on with the script's first two
// lines (user name, then password, the latter only when the server asks for
// one) and carries out the remaining lines as commands: binary, ascii,
// cd <folder>, get <remote> ["local"], put "local" [<remote>], pwd,
// literal <text>, close, quit. Transfers use passive mode.
//
// The port is 21 unless the environment variable QV_FTP_PORT names another;
// QV_FTP_TIMEOUT (seconds, default 120) bounds the wait for the server on
// connect and on every read, so a dead server cannot hold the client forever.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
bool WouldBlock() {
  const int e = WSAGetLastError();
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
void SetNonBlocking(Socket s, bool on) {
  u_long mode = on ? 1 : 0;
  ioctlsocket(s, FIONBIO, &mode);
}
constexpr int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
bool WouldBlock() { return errno == EINPROGRESS || errno == EWOULDBLOCK || errno == EAGAIN; }
void SetNonBlocking(Socket s, bool on) {
  const int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

#include "platform/stream.h"

namespace {

int g_TimeoutSeconds = 120;

// Waits until s can be read (or written); false on time-out or error.
bool WaitFor(Socket s, bool forWriting) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit;
  limit.tv_sec = g_TimeoutSeconds;
  limit.tv_usec = 0;
  const int n = select(static_cast<int>(s + 1), forWriting ? nullptr : &set,
                       forWriting ? &set : nullptr, nullptr, &limit);
  return n > 0;
}

Socket ConnectTo(const sockaddr_in& address) {
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) return kNoSocket;
  SetNonBlocking(s, true);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (!WouldBlock() || !WaitFor(s, true)) {
      CloseSocket(s);
      return kNoSocket;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error != 0) {
      CloseSocket(s);
      return kNoSocket;
    }
  }
  SetNonBlocking(s, false);
  return s;
}

// Receives what is there, waiting at most the time-out; <= 0 at the end,
// on error or on time-out.
int Receive(Socket s, char* buf, int size) {
  if (!WaitFor(s, false)) return -1;
  return static_cast<int>(recv(s, buf, size, 0));
}

bool SendAll(Socket s, const char* data, int length) {
  while (length > 0) {
    if (!WaitFor(s, true)) return false;
    const int n = static_cast<int>(send(s, data, length, kSendFlags));
    if (n <= 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

// The control connection with its read-ahead.
struct Control {
  Socket socket = kNoSocket;
  sockaddr_in peer{};
  char pending[4096];
  int pendingLength = 0;
  bool lost = false;  // the server went away or stopped answering
};

// One reply line without its line end; false when the connection ended.
bool ReadLine(Control* c, char* line, int size) {
  int used = 0;
  while (true) {
    for (int i = 0; i < c->pendingLength; ++i) {
      if (c->pending[i] != '\n') continue;
      int end = i;
      if (end > 0 && c->pending[end - 1] == '\r') --end;
      const int copy = end < size - 1 - used ? end : size - 1 - used;
      std::memcpy(line + used, c->pending, static_cast<size_t>(copy));
      line[used + copy] = '\0';
      std::memmove(c->pending, c->pending + i + 1, static_cast<size_t>(c->pendingLength - i - 1));
      c->pendingLength -= i + 1;
      return true;
    }
    if (c->pendingLength == static_cast<int>(sizeof c->pending)) {
      // An endless line: keep what fits of it and drop the rest.
      const int copy = size - 1 - used < c->pendingLength ? size - 1 - used : c->pendingLength;
      std::memcpy(line + used, c->pending, static_cast<size_t>(copy));
      used += copy;
      c->pendingLength = 0;
    }
    const int n = Receive(c->socket, c->pending + c->pendingLength,
                          static_cast<int>(sizeof c->pending) - c->pendingLength);
    if (n <= 0) return false;
    c->pendingLength += n;
  }
}

// Reads a whole reply (several lines when it begins "nnn-") and shows it.
// Returns its code, or -1 when the connection ended or timed out.
int ReadReply(Control* c, char* last = nullptr, int lastSize = 0) {
  char line[1024];
  if (!ReadLine(c, line, sizeof line)) return -1;
  std::printf("%s\n", line);
  if (std::strlen(line) < 3) return -1;
  char code[4] = {line[0], line[1], line[2], '\0'};
  if (line[3] == '-') {
    // Continued until a line that begins with the same code and a blank.
    while (true) {
      if (!ReadLine(c, line, sizeof line)) return -1;
      std::printf("%s\n", line);
      if (std::strncmp(line, code, 3) == 0 && line[3] == ' ') break;
    }
  }
  if (last != nullptr) std::snprintf(last, static_cast<size_t>(lastSize), "%s", line);
  std::fflush(stdout);
  return std::atoi(code);
}

int Command(Control* c, const char* verb, const char* argument, char* reply = nullptr,
            int replySize = 0) {
  char line[2048];
  if (argument != nullptr) {
    std::snprintf(line, sizeof line, "%s %s\r\n", verb, argument);
  } else {
    std::snprintf(line, sizeof line, "%s\r\n", verb);
  }
  const int code = SendAll(c->socket, line, static_cast<int>(std::strlen(line)))
                       ? ReadReply(c, reply, replySize)
                       : -1;
  if (code < 0) c->lost = true;
  return code;
}

// Opens a passive data connection; kNoSocket on failure.
Socket OpenData(Control* c) {
  char reply[1024];
  if (Command(c, "PASV", nullptr, reply, sizeof reply) != 227) return kNoSocket;
  const char* p = std::strchr(reply, '(');
  int n[6];
  if (p == nullptr ||
      std::sscanf(p + 1, "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6) {
    return kNoSocket;
  }
  // The data connection goes to the host of the control connection: the
  // address in the reply may be one that only the server can reach.
  sockaddr_in address = c->peer;
  address.sin_port = htons(static_cast<unsigned short>(((n[4] & 0xFF) << 8) | (n[5] & 0xFF)));
  return ConnectTo(address);
}

void Get(Control* c, const char* remote, const char* local) {
  Socket data = OpenData(c);
  if (data == kNoSocket) return;
  const int code = Command(c, "RETR", remote);
  if (code != 125 && code != 150) {
    CloseSocket(data);
    return;
  }
  FILE* out = OpenStream(local, "wb");
  if (out == nullptr) std::printf("%s: cannot create the local file\n", local);
  static char buf[65536];
  long long total = 0;
  int n;
  while ((n = Receive(data, buf, sizeof buf)) > 0) {
    if (out != nullptr) std::fwrite(buf, 1, static_cast<size_t>(n), out);
    total += n;
  }
  CloseSocket(data);
  if (out != nullptr) std::fclose(out);
  if (ReadReply(c) >= 0) std::printf("ftp: %lld bytes received.\n", total);
}

void Put(Control* c, const char* local, const char* remote) {
  FILE* in = OpenStream(local, "rb");
  if (in == nullptr) {
    std::printf("%s: File not found\n", local);
    return;
  }
  Socket data = OpenData(c);
  if (data == kNoSocket) {
    std::fclose(in);
    return;
  }
  const int code = Command(c, "STOR", remote);
  if (code == 125 || code == 150) {
    static char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
      if (!SendAll(data, buf, static_cast<int>(n))) break;
    }
  }
  std::fclose(in);
  CloseSocket(data);
  if (code == 125 || code == 150) ReadReply(c);
}

// Splits a command line into words; a double-quoted run is one word.
int SplitWords(char* line, char** words, int maxWords) {
  int count = 0;
  char* p = line;
  while (*p != '\0' && count < maxWords) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    char* out = p;
    words[count++] = out;
    bool quoted = false;
    while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '"') {
        quoted = !quoted;
        ++p;
        continue;
      }
      *out++ = *p++;
    }
    if (*p != '\0') ++p;
    *out = '\0';
  }
  return count;
}

bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = *a;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != *b) return false;
  }
  return *a == *b;
}

// The last path component of a local name, for a put without remote name.
const char* LocalBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

bool ReadScriptLine(FILE* script, char* line, int size) {
  if (std::fgets(line, size, script) == nullptr) return false;
  size_t length = std::strlen(line);
  const bool whole = length > 0 && line[length - 1] == '\n';
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
  if (!whole) {
    // A line longer than the buffer: the rest is dropped.
    int ch;
    while ((ch = std::fgetc(script)) != EOF && ch != '\n') {
    }
  }
  return true;
}

bool Resolve(const char* host, int port, sockaddr_in* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  std::memcpy(address, found->ai_addr, sizeof *address);
  freeaddrinfo(found);
  address->sin_port = htons(static_cast<unsigned short>(port));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* scriptPath = nullptr;
  const char* host = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-s:", 3) == 0) {
      scriptPath = argv[i] + 3;
    } else if (argv[i][0] == '-') {
      // -v, -n, -i, -d, -g: accepted and ignored.
    } else if (host == nullptr) {
      host = argv[i];
    }
  }
  if (scriptPath == nullptr) {
    std::fprintf(stderr, "usage: ftp -s:<script> <host>\n");
    return 2;
  }
  FILE* script = std::fopen(scriptPath, "r");
  if (script == nullptr) {
    std::fprintf(stderr, "Error opening script file %s.\n", scriptPath);
    return 1;
  }
  int port = 21;
  if (const char* text = std::getenv("QV_FTP_PORT")) {
    const int value = std::atoi(text);
    if (value > 0 && value < 65536) port = value;
  }
  if (const char* text = std::getenv("QV_FTP_TIMEOUT")) {
    const int value = std::atoi(text);
    if (value > 0) g_TimeoutSeconds = value;
  }
#if defined(_WIN32)
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
#endif

  Control control;
  char line[4096];
  bool connected = false;
  if (host != nullptr && Resolve(host, port, &control.peer)) {
    control.socket = ConnectTo(control.peer);
    if (control.socket == kNoSocket) {
      std::printf("> ftp: connect :Connection refused\n");
    } else if (ReadReply(&control) / 100 == 2) {
      connected = true;
    } else {
      CloseSocket(control.socket);
      control.socket = kNoSocket;
    }
  } else if (host != nullptr) {
    std::printf("Unknown host %s.\n", host);
  }

  if (connected) {
    // The log-on: the first line answers the user prompt and, when the server
    // asks for it, the second the password prompt.
    if (ReadScriptLine(script, line, sizeof line)) {
      int code = Command(&control, "USER", line);
      if (code == 331 && ReadScriptLine(script, line, sizeof line)) {
        code = Command(&control, "PASS", line);
      }
      if (code != 230) std::printf("Login failed.\n");
      if (code < 0) connected = false;
    }
  }

  bool quit = false;
  while (!quit && ReadScriptLine(script, line, sizeof line)) {
    char* words[8];
    char echo[sizeof line];
    std::snprintf(echo, sizeof echo, "%s", line);
    const int count = SplitWords(line, words, 8);
    if (count == 0) continue;
    std::printf("ftp> %s\n", echo);
    const char* verb = words[0];
    if (SameWord(verb, "quit") || SameWord(verb, "bye")) {
      quit = true;
      if (connected) Command(&control, "QUIT", nullptr);
      continue;
    }
    bool known = true;
    if (!connected) {
      known = SameWord(verb, "binary") || SameWord(verb, "ascii") || SameWord(verb, "cd") ||
              SameWord(verb, "get") || SameWord(verb, "recv") || SameWord(verb, "put") ||
              SameWord(verb, "send") || SameWord(verb, "pwd") || SameWord(verb, "literal") ||
              SameWord(verb, "close") || SameWord(verb, "disconnect");
      std::printf(known ? "Not connected.\n" : "Invalid command.\n");
      continue;
    }
    if (SameWord(verb, "binary") || SameWord(verb, "bin") || SameWord(verb, "image")) {
      Command(&control, "TYPE", "I");
    } else if (SameWord(verb, "ascii")) {
      Command(&control, "TYPE", "A");
    } else if (SameWord(verb, "cd") && count >= 2) {
      Command(&control, "CWD", words[1]);
    } else if ((SameWord(verb, "get") || SameWord(verb, "recv")) && count >= 2) {
      Get(&control, words[1], count >= 3 ? words[2] : words[1]);
    } else if ((SameWord(verb, "put") || SameWord(verb, "send")) && count >= 2) {
      Put(&control, words[1], count >= 3 ? words[2] : LocalBaseName(words[1]));
    } else if (SameWord(verb, "pwd")) {
      Command(&control, "PWD", nullptr);
    } else if ((SameWord(verb, "literal") || SameWord(verb, "quote")) && count >= 2) {
      const char* rest = std::strstr(echo, words[1]);
      Command(&control, rest != nullptr ? rest : words[1], nullptr);
    } else if (SameWord(verb, "close") || SameWord(verb, "disconnect")) {
      Command(&control, "QUIT", nullptr);
      CloseSocket(control.socket);
      control.socket = kNoSocket;
      connected = false;
    } else {
      known = false;
    }
    if (!known) std::printf("Invalid command.\n");
    if (control.lost && connected) {
      std::printf("Connection closed by remote host.\n");
      connected = false;
    }
    std::fflush(stdout);
  }
  if (connected && !quit) Command(&control, "QUIT", nullptr);
  if (control.socket != kNoSocket) CloseSocket(control.socket);
  std::fclose(script);
#if defined(_WIN32)
  WSACleanup();
#endif
  return 0;
}
