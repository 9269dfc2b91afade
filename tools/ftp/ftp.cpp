// ftp.exe: a small command-line FTP client that runs a script the way the
// Windows client does when started as
//
//   ftp.exe -s:<script> <host>
//
// The script's first two lines are always the user name and the password:
// they are read before anything else, are never run as commands and are
// never shown. The remaining lines are commands: binary, ascii, cd <folder>,
// get <remote> ["local"], put "local" [<remote>], pwd, literal <text>, close,
// quit. Transfers use passive mode.
//
// A get asks SIZE first, then writes to <local>.part and renames it over
// <local> only once the server has confirmed the transfer and the byte count
// agrees with every size the server gave (SIZE, and any line of its 150
// reply), so a failed transfer never replaces the previous copy. A SIZE
// reply that is not a plain number fails the get. QV_MAX_TRANSFER_MB (MiB,
// default 4096, 0: no bound) bounds every get, whatever size the server
// states or does not state: a server cannot fill the disk. The exit status is the number of failed gets
// and puts (at most 250); when the connection or the log-on fails, every get
// and put of the script has failed.
//
// QV_FTPS=explicit (AUTH TLS, then PBSZ 0 and PROT P) or implicit (TLS from
// the first byte, port 990) makes it FTP over TLS, data connections
// included, with the host verified before the user name is sent: by its
// chain to a system root and its IP-address name, or by the SHA-256
// fingerprint in QV_FTPS_FINGERPRINT. A host refused so exits with 251-254
// (see ftp_job.h) and never gets a plain-FTP log-on.
//
// The port is 21 (990 for implicit TLS) unless the environment variable
// QV_FTP_PORT names another.
// QV_FTP_TIMEOUT (seconds, default 120) bounds the connect, each whole reply
// of the server and each pause of a data connection, so that neither a dead
// nor a trickling server can hold the client. A reply is also limited in
// lines and bytes; one that breaks a limit closes the connection.
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
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
constexpr int kShutdownSend = SD_SEND;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
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
constexpr int kShutdownSend = SHUT_WR;
#include "platform/posix/encoding.h"
#endif

#include "base/text.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "transfer/ftp_job.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kScriptLineSize = 4096;
// Shown part of one reply line; the rest of a longer line is read and dropped.
constexpr int kReplyLineSize = 1024;
// A reply longer than this is not an FTP reply: the connection is closed.
constexpr int kReplyMaxLines = 1000;
constexpr int kReplyMaxBytes = 64 * 1024;
// Exit statuses above this mean other things to a shell or a scheduler.
constexpr int kMaxExitFailures = 250;
// Not ".DB2": a cut file must never be taken for an image.
constexpr char kPartSuffix[] = ".part";
// Received by Receive when the wait ran out.
constexpr int kTimedOut = -2;

int g_TimeoutSeconds = 120;
// The most bytes one get may bring; -1: no bound.
long long g_MaxTransferBytes = 4096LL << 20;
// With TLS asked for (QV_FTPS), what the host must show; address null: plain FTP.
TlsPeer g_TlsPeer{nullptr, nullptr};
// Kept only to blank it out of anything shown.
char g_Password[kScriptLineSize];

// Overwrites every copy of the password in the length bytes of text (zero
// bytes included) with stars.
void MaskPassword(char* text, size_t length) {
  const size_t passwordLength = std::strlen(g_Password);
  if (passwordLength == 0) return;
  for (size_t at = 0; at + passwordLength <= length;) {
    if (std::memcmp(text + at, g_Password, passwordLength) == 0) {
      std::memset(text + at, '*', passwordLength);
      at += passwordLength;
    } else {
      ++at;
    }
  }
}

// Shows one line of output. Every output goes through here, so the password
// cannot reach a log even when a server or a script line repeats it.
__attribute__((format(gnu_printf, 1, 2))) void Say(const char* format, ...) {
  char text[2 * kScriptLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  MaskPassword(text, std::strlen(text));
  std::printf("%s\n", text);
  std::fflush(stdout);
}

Clock::time_point Deadline() { return Clock::now() + std::chrono::seconds(g_TimeoutSeconds); }

enum class Wait { kReadable, kWritable, kConnected };

// Waits until s is as asked; false when the deadline passes or on error.
bool WaitFor(Socket s, Wait what, Clock::time_point deadline) {
  while (true) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    // Windows reports a refused connect here, not as writable. (Its select
    // refuses an empty set: the set is given only when it holds s.)
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval limit;
    limit.tv_sec = static_cast<decltype(limit.tv_sec)>(us / 1000000);
    limit.tv_usec = static_cast<decltype(limit.tv_usec)>(us % 1000000);
    const int n = select(static_cast<int>(s + 1), what == Wait::kReadable ? &set : nullptr,
                         what == Wait::kReadable ? nullptr : &set,
                         what == Wait::kConnected ? &failed : nullptr, &limit);
    if (n > 0) return true;
#if !defined(_WIN32)
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n < 0) return false;
  }
}

// Sockets stay non-blocking: a send or receive never waits past the
// deadline of its WaitFor.
Socket ConnectTo(const sockaddr_in& address) {
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) return kNoSocket;
  SetNonBlocking(s, true);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (!WouldBlock() || !WaitFor(s, Wait::kConnected, Deadline())) {
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
  return s;
}

int MillisecondsUntil(Clock::time_point deadline) {
  const long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

// Receives what is there, waiting until deadline at most: the byte count,
// 0 at the end, -1 on error, kTimedOut when the wait ran out. Over TLS
// (tls not null) an end without the peer's close_notify is an error: the
// stream may have been cut.
int Receive(Socket s, TlsConnection* tls, char* buf, int size, Clock::time_point deadline) {
  if (tls != nullptr) {
    const int left = MillisecondsUntil(deadline);
    if (left <= 0) return kTimedOut;
    const int n = TlsRead(tls, buf, size, left);
    return n == kTlsTimedOut ? kTimedOut : (n < 0 ? -1 : n);
  }
  while (true) {
    if (!WaitFor(s, Wait::kReadable, deadline)) return Clock::now() >= deadline ? kTimedOut : -1;
    const int n = static_cast<int>(recv(s, buf, size, 0));
    if (n >= 0) return n;
    if (!WouldBlock()) return -1;
  }
}

// Sends all of data; false when the peer takes nothing for the time-out.
bool SendAll(Socket s, TlsConnection* tls, const char* data, int length) {
  if (tls != nullptr) return TlsWrite(tls, data, length, g_TimeoutSeconds * 1000);
  Clock::time_point deadline = Deadline();
  while (length > 0) {
    if (!WaitFor(s, Wait::kWritable, deadline)) return false;
    const int n = static_cast<int>(send(s, data, length, kSendFlags));
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) return false;
    data += n;
    length -= n;
    deadline = Deadline();
  }
  return true;
}

// The control connection with its read-ahead.
struct Control {
  Socket socket = kNoSocket;
  TlsConnection* tls = nullptr;  // TLS on the socket, once started
  sockaddr_in peer{};
  char pending[4096];
  int pendingStart = 0;
  int pendingEnd = 0;
  bool lost = false;  // closed after an error: nothing more is sent
};

void CloseControl(Control* c) {
  TlsClose(c->tls);
  c->tls = nullptr;
  if (c->socket != kNoSocket) CloseSocket(c->socket);
  c->socket = kNoSocket;
}

// Closes the control connection for good after a fault of the server.
void Drop(Control* c, const char* why) {
  Say("%s", why);
  CloseControl(c);
  c->lost = true;
}

// What the reply being read may still take.
struct ReplyBudget {
  Clock::time_point deadline;
  int bytesLeft;
};

enum class LineResult { kLine, kEnded, kTimedOut, kTooLong };

// One reply line without its line end, cut to size - 1 bytes, with control
// characters as '?' so that a server cannot drive the terminal. The password
// is masked before the cut: a copy of it that the cut would split must not
// show its first characters.
LineResult ReadLine(Control* c, ReplyBudget* budget, char* line, int size) {
  static char wide[kReplyLineSize + kScriptLineSize];
  const int keep = size - 1 + static_cast<int>(std::strlen(g_Password));
  int used = 0;
  while (true) {
    if (c->pendingStart == c->pendingEnd) {
      const int n =
          Receive(c->socket, c->tls, c->pending, static_cast<int>(sizeof c->pending), budget->deadline);
      if (n == kTimedOut) return LineResult::kTimedOut;
      if (n <= 0) return LineResult::kEnded;
      c->pendingStart = 0;
      c->pendingEnd = n;
    }
    const char ch = c->pending[c->pendingStart++];
    if (--budget->bytesLeft < 0) return LineResult::kTooLong;
    if (ch == '\n') break;
    if (used < keep) wide[used++] = ch;
  }
  if (used > 0 && wide[used - 1] == '\r') --used;
  MaskPassword(wide, static_cast<size_t>(used));
  if (used > size - 1) used = size - 1;
  std::memcpy(line, wide, static_cast<size_t>(used));
  for (int i = 0; i < used; ++i) {
    const unsigned char b = static_cast<unsigned char>(line[i]);
    if (b < 0x20 || b == 0x7F) line[i] = '?';
  }
  line[used] = '\0';
  return LineResult::kLine;
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

long long StatedSize(const char* reply);

// Reads a whole reply (several lines when it begins "nnn-") and shows it,
// or with codeOnly only its code: the reply to PASS may echo the password
// in forms no mask finds (split over lines, upper-cased, spaced out, with a
// NUL inside). Returns its code; on a lost connection or a reply that breaks a limit or
// the form, closes the connection and returns -1. last receives the last
// line; stated, when given, the first size that any line states (or -1).
int ReadReply(Control* c, char* last = nullptr, int lastSize = 0, long long* stated = nullptr,
              bool codeOnly = false) {
  if (stated != nullptr) *stated = -1;
  if (c->socket == kNoSocket) return -1;
  ReplyBudget budget{Deadline(), kReplyMaxBytes};
  char line[kReplyLineSize];
  char code[4] = {'\0', '\0', '\0', '\0'};
  for (int lines = 0; lines < kReplyMaxLines; ++lines) {
    const LineResult result = ReadLine(c, &budget, line, sizeof line);
    if (result == LineResult::kEnded) {
      Drop(c, "Connection closed by remote host.");
      return -1;
    }
    if (result == LineResult::kTimedOut) {
      Drop(c, "ftp: no complete reply from the server in time; connection closed.");
      return -1;
    }
    if (result == LineResult::kTooLong) break;
    if (!codeOnly) Say("%s", line);
    if (stated != nullptr && *stated < 0) *stated = StatedSize(line);
    bool done;
    if (lines == 0) {
      if (!IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
        Drop(c, "ftp: not an FTP reply; connection closed.");
        return -1;
      }
      std::memcpy(code, line, 3);
      done = line[3] != '-';
    } else {
      // Continued until a line that begins with the same code and a blank.
      done = std::strncmp(line, code, 3) == 0 && (line[3] == ' ' || line[3] == '\0');
    }
    if (done) {
      if (codeOnly) Say("%s", code);
      if (last != nullptr) std::snprintf(last, static_cast<size_t>(lastSize), "%s", line);
      return std::atoi(code);
    }
  }
  Drop(c, "ftp: reply too long; connection closed.");
  return -1;
}

int Command(Control* c, const char* verb, const char* argument, char* reply = nullptr,
            int replySize = 0, long long* stated = nullptr, bool codeOnly = false) {
  if (c->socket == kNoSocket) return -1;
  // Room for any script line behind the verb: a command is never sent cut.
  char line[kScriptLineSize + 16];
  const int length = argument != nullptr
                         ? std::snprintf(line, sizeof line, "%s %s\r\n", verb, argument)
                         : std::snprintf(line, sizeof line, "%s\r\n", verb);
  if (length < 0 || length >= static_cast<int>(sizeof line)) {
    Say("ftp: command too long.");
    return -1;
  }
  const bool sent = SendAll(c->socket, c->tls, line, length);
  WipeText(line, sizeof line);  // it may have been PASS
  if (!sent) {
    Drop(c, "Connection closed by remote host.");
    return -1;
  }
  return ReadReply(c, reply, replySize, stated, codeOnly);
}

// Reads up to three digits as a number of 0 to 255; false otherwise.
bool ReadByteNumber(const char** p, int* value) {
  int v = 0;
  int digits = 0;
  while (IsDigit(**p) && digits < 3) {
    v = v * 10 + (**p - '0');
    ++*p;
    ++digits;
  }
  if (digits == 0 || IsDigit(**p) || v > 255) return false;
  *value = v;
  return true;
}

// Opens a passive data connection; kNoSocket on failure.
Socket OpenData(Control* c) {
  char reply[kReplyLineSize];
  if (Command(c, "PASV", nullptr, reply, sizeof reply) != 227) return kNoSocket;
  // h1,h2,h3,h4,p1,p2 in parentheses, or else the first numbers after the code.
  const char* p = std::strchr(reply, '(');
  p = p != nullptr ? p + 1 : reply + 3;
  while (*p != '\0' && !IsDigit(*p)) ++p;
  int n[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && *p++ != ',') return kNoSocket;
    if (!ReadByteNumber(&p, &n[i])) return kNoSocket;
  }
  // The data connection goes to the host of the control connection: the
  // address in the reply may be one that only the server can reach.
  sockaddr_in address = c->peer;
  address.sin_port = htons(static_cast<unsigned short>((n[4] << 8) | n[5]));
  return ConnectTo(address);
}

// The size a reply states as "(NNN bytes)", or -1 when it states none.
long long StatedSize(const char* reply) {
  for (const char* p = std::strchr(reply, '('); p != nullptr; p = std::strchr(p + 1, '(')) {
    const char* q = p + 1;
    long long value = 0;
    int digits = 0;
    while (IsDigit(*q) && digits < 18) {
      value = value * 10 + (*q++ - '0');
      ++digits;
    }
    if (digits == 0 || IsDigit(*q)) continue;
    if (*q == ' ') ++q;
    if (std::strncmp(q, "bytes", 5) == 0) return value;
  }
  return -1;
}

// Puts the finished temporary file in the place of target, replacing it.
bool MoveOver(const char* from, const char* target) {
#if defined(_WIN32)
  return MoveFileExA(from, target, MOVEFILE_REPLACE_EXISTING) != FALSE;
#else
  // The same conversion OpenStream makes, so both name the same files.
  static char fromUtf8[kScriptLineSize + sizeof kPartSuffix];
  static char targetUtf8[kScriptLineSize + sizeof kPartSuffix];
  return SjisToUtf8(from, fromUtf8, sizeof fromUtf8) &&
         SjisToUtf8(target, targetUtf8, sizeof targetUtf8) && std::rename(fromUtf8, targetUtf8) == 0;
#endif
}

void ReportFailure(const char* remote, const char* why) {
  Say("ftp: transfer of %s failed: %s", remote, why);
}

const char* TlsFailureText(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::kUntrusted:
      return "the host's certificate has no chain to a trusted root";
    case TlsFailure::kWrongHost:
      return "the host's certificate does not name its address";
    case TlsFailure::kExpired:
      return "the host's certificate has expired";
    case TlsFailure::kNotYetValid:
      return "the host's certificate is not yet valid";
    case TlsFailure::kWrongFingerprint:
      return "the host's certificate is not the one pinned by its fingerprint";
    case TlsFailure::kWeakKey:
      return "the host's key is too weak (less than 112 bits of security)";
    case TlsFailure::kTimedOut:
      return "the TLS handshake stalled";
    case TlsFailure::kHandshake:
    case TlsFailure::kNone:
      break;
  }
  return "the TLS handshake failed";
}

// Over a TLS control connection, starts TLS on a data connection after its
// 1xx reply (servers begin theirs then), resuming the control connection's
// session and verifying the host as there. Null (why set) on failure.
TlsConnection* SecureData(Control* c, Socket data, char* why, int whySize) {
  TlsFailure failure;
  TlsConnection* tls = TlsConnect(static_cast<intptr_t>(data), g_TlsPeer, c->tls,
                                  g_TimeoutSeconds * 1000, &failure);
  if (tls == nullptr) {
    std::snprintf(why, static_cast<size_t>(whySize), "data connection: %s", TlsFailureText(failure));
  }
  return tls;
}

// The size in a "213 <size>" reply to SIZE (blanks after it allowed), or
// -1 when it is no plain number of at most 18 digits ("-5", "16384abc").
long long SizeReplied(const char* reply) {
  const char* p = reply + 4;
  long long value = 0;
  int digits = 0;
  while (IsDigit(*p) && digits < 18) {
    value = value * 10 + (*p++ - '0');
    ++digits;
  }
  while (*p == ' ') ++p;
  return (digits > 0 && *p == '\0') ? value : -1;
}

// Receives remote into out. On failure why says what went wrong. The size
// comes from SIZE where the server answers it and from the 150 reply where
// it states one: a transfer is whole only when it has every size known, and
// it is stopped as soon as it brings more than one of them.
bool Fetch(Control* c, const char* remote, FILE* out, long long* total, char* why, int whySize) {
  char reply[kReplyLineSize];
  long long asked = -1;
  const bool sized = Command(c, "SIZE", remote, reply, sizeof reply) == 213;
  if (c->lost) {
    std::snprintf(why, static_cast<size_t>(whySize), "the connection was lost");
    return false;
  }
  if (sized) {
    asked = SizeReplied(reply);
    // A size that is no number is no size to hold the transfer to.
    if (asked < 0) {
      std::snprintf(why, static_cast<size_t>(whySize), "the server's size is not a number");
      return false;
    }
  }
  Socket data = OpenData(c);
  if (data == kNoSocket) {
    std::snprintf(why, static_cast<size_t>(whySize), "%s",
                  c->lost ? "the connection was lost" : "no data connection");
    return false;
  }
  long long stated = -1;
  int code = Command(c, "RETR", remote, reply, sizeof reply, &stated);
  if (code / 100 != 1) {
    CloseSocket(data);
    if (code < 0) {
      std::snprintf(why, static_cast<size_t>(whySize), "the connection was lost");
    } else {
      std::snprintf(why, static_cast<size_t>(whySize), "the server answered %d", code);
    }
    return false;
  }
  long long most = stated;
  if (most < 0 || (asked >= 0 && asked < most)) most = asked;
  TlsConnection* tls = nullptr;
  if (c->tls != nullptr) {
    tls = SecureData(c, data, why, whySize);
    if (tls == nullptr) {
      CloseSocket(data);
      ReadReply(c);
      return false;
    }
  }

  static char buf[65536];
  bool whole = false;
  while (true) {
    // The time-out counts from the last bytes: a slow but moving transfer goes on.
    const int n = Receive(data, tls, buf, static_cast<int>(sizeof buf), Deadline());
    if (n == 0) {
      whole = true;
      break;
    }
    if (n == kTimedOut) {
      std::snprintf(why, static_cast<size_t>(whySize),
                    "no data for %d seconds", g_TimeoutSeconds);
      break;
    }
    if (n < 0) {
      std::snprintf(why, static_cast<size_t>(whySize), "the data connection broke off");
      break;
    }
    // A server that sends on past its size would fill the disk.
    if (most >= 0 && n > most - *total) {
      std::snprintf(why, static_cast<size_t>(whySize), "more than the %lld bytes announced", most);
      break;
    }
    // And so would one that states no size, or a huge one.
    if (g_MaxTransferBytes >= 0 && n > g_MaxTransferBytes - *total) {
      std::snprintf(why, static_cast<size_t>(whySize), "more than MaxTransferMB (%lld MB)",
                    g_MaxTransferBytes >> 20);
      break;
    }
    if (std::fwrite(buf, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
      std::snprintf(why, static_cast<size_t>(whySize), "cannot write the local file");
      break;
    }
    *total += n;
  }
  TlsClose(tls);
  CloseSocket(data);
  // The final reply is read after a failure too: when the server gives one,
  // the connection goes on with the next line of the script.
  code = ReadReply(c);
  if (!whole) return false;
  if (code < 0) {
    std::snprintf(why, static_cast<size_t>(whySize), "the connection was lost");
    return false;
  }
  if (code / 100 != 2) {
    std::snprintf(why, static_cast<size_t>(whySize), "the server answered %d", code);
    return false;
  }
  for (const long long size : {stated, asked}) {
    if (size >= 0 && size != *total) {
      std::snprintf(why, static_cast<size_t>(whySize), "%lld bytes received of %lld", *total, size);
      return false;
    }
  }
  return true;
}

// Fetches remote into local by way of <local>.part, which takes the place of
// local only when the transfer is whole; otherwise local stays as it was.
bool Get(Control* c, const char* remote, const char* local) {
  char part[kScriptLineSize + sizeof kPartSuffix];
  const int length = std::snprintf(part, sizeof part, "%s%s", local, kPartSuffix);
  if (length < 0 || length >= static_cast<int>(sizeof part)) {
    ReportFailure(remote, "the local name is too long");
    return false;
  }
  FILE* out = OpenStream(part, "wb");
  if (out == nullptr) {
    ReportFailure(remote, "cannot create the local file");
    return false;
  }
  char why[128] = "";
  long long total = 0;
  bool ok = Fetch(c, remote, out, &total, why, sizeof why);
  if (std::fclose(out) != 0 && ok) {
    ok = false;
    std::snprintf(why, sizeof why, "cannot write the local file");
  }
  if (ok && !MoveOver(part, local)) {
    ok = false;
    std::snprintf(why, sizeof why, "cannot replace the local file");
  }
  if (!ok) {
    FileDelete(part);
    ReportFailure(remote, why);
    return false;
  }
  Say("ftp: %lld bytes received.", total);
  return true;
}

bool Put(Control* c, const char* local, const char* remote) {
  FILE* in = OpenStream(local, "rb");
  if (in == nullptr) {
    Say("%s: File not found", local);
    ReportFailure(remote, "the local file is missing");
    return false;
  }
  Socket data = OpenData(c);
  if (data == kNoSocket) {
    std::fclose(in);
    ReportFailure(remote, c->lost ? "the connection was lost" : "no data connection");
    return false;
  }
  const char* why = nullptr;
  char tlsWhy[128];
  TlsConnection* tls = nullptr;
  int code = Command(c, "STOR", remote);
  if (code / 100 == 1 && c->tls != nullptr) {
    tls = SecureData(c, data, tlsWhy, sizeof tlsWhy);
    if (tls == nullptr) why = tlsWhy;
  }
  if (code / 100 == 1 && why == nullptr) {
    static char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
      if (!SendAll(data, tls, buf, static_cast<int>(n))) {
        why = "the data connection broke off or stalled";
        break;
      }
    }
    if (why == nullptr && std::ferror(in)) why = "cannot read the local file";
  }
  std::fclose(in);
  // Over TLS the close_notify tells the server that the file is whole.
  if (tls != nullptr) {
    TlsClose(tls);
    // What the server sent and nobody read (a TLS 1.3 session ticket) would
    // make the close a reset, which can drop the file's last bytes at the
    // server: the end is sent, and the rest read, first.
    shutdown(data, kShutdownSend);
    static char rest[4096];
    const Clock::time_point deadline = Deadline();
    while (Receive(data, nullptr, rest, static_cast<int>(sizeof rest), deadline) > 0) {
    }
  }
  CloseSocket(data);
  char answered[48];
  if (code / 100 == 1) code = ReadReply(c);
  if (why == nullptr && code < 0) why = "the connection was lost";
  if (why == nullptr && code / 100 != 2) {
    std::snprintf(answered, sizeof answered, "the server answered %d", code);
    why = answered;
  }
  if (why != nullptr) {
    ReportFailure(remote, why);
    return false;
  }
  return true;
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

// Overwrites the script's password line, from passwordAt up to its line
// end, with blanks and goes on reading after it: the password stays on the
// disk no longer than it takes to read it, whatever becomes of this run. A
// script that cannot be written (opened for reading only) is left as it is.
void BlankPasswordLine(FILE* script, long passwordAt) {
  const long after = std::ftell(script);
  if (passwordAt < 0 || after < 0 || std::fseek(script, passwordAt, SEEK_SET) != 0) return;
  long length = 0;
  int ch;
  while ((ch = std::fgetc(script)) != EOF && ch != '\n' && ch != '\r') ++length;
  if (std::fseek(script, passwordAt, SEEK_SET) == 0) {
    for (long i = 0; i < length; ++i) std::fputc(' ', script);
    std::fflush(script);
  }
  std::fseek(script, after, SEEK_SET);
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

// Starts TLS on the control connection and verifies the host: 0, or the exit
// status that says why not (the connection is then closed).
int StartTls(Control* c) {
  TlsFailure failure;
  c->tls = TlsConnect(static_cast<intptr_t>(c->socket), g_TlsPeer, nullptr, g_TimeoutSeconds * 1000,
                      &failure);
  if (c->tls != nullptr) return 0;
  Say("ftp: %s; not logging on.", TlsFailureText(failure));
  CloseControl(c);
  switch (failure) {
    case TlsFailure::kUntrusted:
    case TlsFailure::kWrongHost:
    case TlsFailure::kExpired:
    case TlsFailure::kNotYetValid:
    case TlsFailure::kWeakKey:
      return kFtpExitCertificate;
    case TlsFailure::kWrongFingerprint:
      return kFtpExitFingerprint;
    default:
      return kFtpExitHandshake;
  }
}

// A positive whole number from the environment, or fallback.
int EnvironmentNumber(const char* name, int fallback, long most) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return (end != text && value > 0 && value <= most) ? static_cast<int>(value) : fallback;
}

// QV_MAX_TRANSFER_MB as bytes: absent, empty or not a number: 4096 MiB;
// 0: no bound (-1).
long long MaxTransferBytes(const char* text) {
  long long mib = 4096;
  if (text != nullptr && text[0] != '\0') {
    long long value = 0;
    int digits = 0;
    while (IsDigit(text[digits]) && digits < 13) value = value * 10 + (text[digits++] - '0');
    if (text[digits] == '\0' && digits <= 12) mib = value;
  }
  return mib == 0 ? -1 : mib << 20;
}

}  // namespace

int main(int argc, char** argv) {
  // The password must not reach the disk in a core file.
  DisableCrashDumps();
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
  // For update: the password line is blanked as soon as it is read.
  FILE* script = std::fopen(scriptPath, "r+b");
  if (script == nullptr) script = std::fopen(scriptPath, "rb");
  if (script == nullptr) {
    std::fprintf(stderr, "Error opening script file %s.\n", scriptPath);
    return 1;
  }
  // Unbuffered: no copy of the password line stays in a stream buffer.
  std::setvbuf(script, nullptr, _IONBF, 0);
  // FTP over TLS when QV_FTPS says so; never a fall-back to plain FTP then.
  const char* ftps = std::getenv("QV_FTPS");
  if (ftps == nullptr) ftps = "";
  const bool implicitTls = std::strcmp(ftps, "implicit") == 0;
  const bool explicitTls = std::strcmp(ftps, "explicit") == 0;
  static unsigned char pinned[kFingerprintSize];
  int refusal = 0;  // the exit status when the host is refused before the log-on
  if (implicitTls || explicitTls) {
    g_TlsPeer.address = host != nullptr ? host : "";
    const char* fingerprint = std::getenv("QV_FTPS_FINGERPRINT");
    if (fingerprint != nullptr && fingerprint[0] != '\0') {
      if (ParseFingerprint(fingerprint, pinned)) {
        g_TlsPeer.fingerprint = pinned;
      } else {
        Say("ftp: QV_FTPS_FINGERPRINT is no SHA-256 fingerprint; not connecting.");
        refusal = kFtpExitCertificate;
      }
    }
  } else if (ftps[0] != '\0' && std::strcmp(ftps, "none") != 0) {
    Say("ftp: QV_FTPS must be none, explicit or implicit; not connecting.");
    refusal = kFtpExitNoTls;
  }
  const int port = EnvironmentNumber("QV_FTP_PORT", implicitTls ? 990 : 21, 65535);
  // A day at most keeps the deadline arithmetic far from any overflow.
  g_TimeoutSeconds = EnvironmentNumber("QV_FTP_TIMEOUT", 120, 86400);
  g_MaxTransferBytes = MaxTransferBytes(std::getenv("QV_MAX_TRANSFER_MB"));
#if defined(_WIN32)
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
#else
  // The TLS library writes to the sockets itself, without MSG_NOSIGNAL: a
  // server that hung up must give an error, not end the client.
  signal(SIGPIPE, SIG_IGN);
#endif

  // The log-on lines are taken first, whatever becomes of the connection,
  // so that neither can be run (and shown) as a command.
  static char user[kScriptLineSize];
  const bool haveUser = ReadScriptLine(script, user, sizeof user);
  const long passwordAt = std::ftell(script);
  const bool havePassword = haveUser && ReadScriptLine(script, g_Password, sizeof g_Password);
  if (havePassword) BlankPasswordLine(script, passwordAt);

  Control control;
  bool connected = false;
  if (refusal == 0 && host != nullptr && Resolve(host, port, &control.peer)) {
    control.socket = ConnectTo(control.peer);
    if (control.socket == kNoSocket) {
      Say("> ftp: connect :Connection refused");
    } else if (implicitTls && (refusal = StartTls(&control)) != 0) {
      // Refused: StartTls has said why.
    } else if (ReadReply(&control) / 100 == 2) {
      connected = true;
    } else {
      CloseControl(&control);
    }
  } else if (refusal == 0 && host != nullptr) {
    Say("Unknown host %s.", host);
  }
  if (connected && explicitTls) {
    const int code = Command(&control, "AUTH", "TLS");
    // Bytes already sent behind the 234 were sent in clear: not to be taken
    // as if they came over TLS.
    if (code == 234 && control.pendingStart == control.pendingEnd) {
      refusal = StartTls(&control);
    } else {
      if (code >= 0) Say("ftp: the server does not offer TLS (AUTH TLS); not logging on.");
      refusal = kFtpExitNoTls;
    }
  }
  if (connected && refusal == 0 && control.tls != nullptr) {
    // Every data connection protected as well.
    if (Command(&control, "PBSZ", "0") / 100 != 2 || Command(&control, "PROT", "P") / 100 != 2) {
      if (!control.lost) Say("ftp: the server refuses protected data connections; not logging on.");
      refusal = kFtpExitNoTls;
    }
  }
  if (refusal != 0) {
    CloseControl(&control);
    connected = false;
  }

  if (connected) {
    int code = haveUser ? Command(&control, "USER", user) : -1;
    if (code == 331) {
      code = havePassword ? Command(&control, "PASS", g_Password, nullptr, 0, nullptr, true) : -1;
    }
    if (code / 100 != 2) {
      // Not logged on: nothing of the script can work on this connection.
      Say("Login failed.");
      Command(&control, "QUIT", nullptr);
      CloseControl(&control);
      connected = false;
    }
  }

  int failures = 0;
  static char line[kScriptLineSize];
  bool quit = false;
  while (!quit && ReadScriptLine(script, line, sizeof line)) {
    char* words[8];
    static char echo[sizeof line];
    std::snprintf(echo, sizeof echo, "%s", line);
    const int count = SplitWords(line, words, 8);
    if (count == 0) continue;
    Say("ftp> %s", echo);
    const char* verb = words[0];
    const bool get = (SameWord(verb, "get") || SameWord(verb, "recv")) && count >= 2;
    const bool put = (SameWord(verb, "put") || SameWord(verb, "send")) && count >= 2;
    const char* remote = nullptr;
    if (get) remote = words[1];
    if (put) remote = count >= 3 ? words[2] : LocalBaseName(words[1]);
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
      Say("%s", known ? "Not connected." : "Invalid command.");
      if (get || put) {
        ReportFailure(remote, "not connected");
        ++failures;
      }
      continue;
    }
    if (SameWord(verb, "binary") || SameWord(verb, "bin") || SameWord(verb, "image")) {
      Command(&control, "TYPE", "I");
    } else if (SameWord(verb, "ascii")) {
      Command(&control, "TYPE", "A");
    } else if (SameWord(verb, "cd") && count >= 2) {
      Command(&control, "CWD", words[1]);
    } else if (get) {
      if (!Get(&control, words[1], count >= 3 ? words[2] : words[1])) ++failures;
    } else if (put) {
      if (!Put(&control, words[1], remote)) ++failures;
    } else if (SameWord(verb, "pwd")) {
      Command(&control, "PWD", nullptr);
    } else if ((SameWord(verb, "literal") || SameWord(verb, "quote")) && count >= 2) {
      const char* rest = std::strstr(echo, words[1]);
      Command(&control, rest != nullptr ? rest : words[1], nullptr);
    } else if (SameWord(verb, "close") || SameWord(verb, "disconnect")) {
      Command(&control, "QUIT", nullptr);
      CloseControl(&control);
      connected = false;
    } else {
      known = false;
    }
    if (!known) Say("Invalid command.");
    // Drop has said why; the rest of the script runs unconnected.
    if (control.lost) connected = false;
  }
  if (connected && !quit) Command(&control, "QUIT", nullptr);
  CloseControl(&control);
  std::fclose(script);
  // Kept until here only to mask the server's replies.
  WipeText(g_Password, sizeof g_Password);
#if defined(_WIN32)
  WSACleanup();
#endif
  if (refusal != 0) return refusal;
  return failures < kMaxExitFailures ? failures : kMaxExitFailures;
}
