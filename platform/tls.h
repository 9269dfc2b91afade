#pragma once
// TLS over a connected socket, for the FTP client: TLS 1.2 or later, the
// host verified before anything is sent. Windows: Schannel; POSIX: OpenSSL.
// Only the FTP client links it (library qv_tls), so the program itself
// needs no TLS library.
#include <cstdint>

// One TLS connection. Opaque; made by TlsConnect, ended by TlsClose.
struct TlsConnection;

// What the host must show.
struct TlsPeer {
  // Dotted IPv4 address that the certificate must name among its IP-address
  // subject alternative names, with a chain to a root the system trusts.
  const char* address;
  // SHA-256 of the certificate (32 bytes), or null. When given it is the
  // whole check: a pinned certificate needs no chain and no name.
  const unsigned char* fingerprint;
};

// Why TlsConnect gave no connection.
enum class TlsFailure {
  kNone,
  kUntrusted,          // no chain to a trusted root, or the chain is bad
  kWrongHost,          // the address is not among the certificate's names
  kExpired,            // past its end of validity
  kNotYetValid,        // before its start of validity
  kWrongFingerprint,   // not the pinned certificate
  kWeakKey,            // its key gives less than 112 bits of security (RSA-1024)
  kHandshake,          // the handshake failed (protocol, version, closed)
  kTimedOut,           // the handshake stalled
};

// Starts TLS as the client on socket (connected, non-blocking; left open
// and owned by the caller), waiting at most timeoutMilliseconds for each
// step of the peer. resumeFrom: a connection to the same host whose TLS
// session is to be resumed (FTP data connections), or null. A TLS 1.3
// session resumes once only: a later ticket of the host is offered first.
// TLS 1.2 suites are limited to ECDHE with AES-GCM or ChaCha20-Poly1305
// (TLS 1.3's suites as they are): no suite without forward secrecy.
// The host's key must give 112 bits of security or more (RSA and DSA of
// 2048 bits, elliptic curves of 224), pinned or not.
// Returns null with *failure set when the host is not verified.
TlsConnection* TlsConnect(intptr_t socket, const TlsPeer& peer, const TlsConnection* resumeFrom,
                          int timeoutMilliseconds, TlsFailure* failure);

// Results of TlsRead besides a byte count.
constexpr int kTlsEnded = 0;       // the peer ended the connection cleanly
constexpr int kTlsBroken = -1;     // an error, or the stream cut without its end
constexpr int kTlsTimedOut = -2;   // nothing came in time

// Reads up to size bytes, waiting at most timeoutMilliseconds for some.
int TlsRead(TlsConnection* connection, char* buffer, int size, int timeoutMilliseconds);

// Sends all of data; false when the peer takes nothing for
// timeoutMilliseconds or on error.
bool TlsWrite(TlsConnection* connection, const char* data, int length, int timeoutMilliseconds);

// Tells the peer the connection ends (close_notify, without waiting for its
// answer) and frees it. The socket stays open.
void TlsClose(TlsConnection* connection);
