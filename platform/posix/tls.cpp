#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>

struct TlsConnection {
  SSL* ssl;
};

namespace {

using Clock = std::chrono::steady_clock;

// Sessions the servers gave, newest last. A TLS 1.3 session resumes once
// only: each data connection takes a fresh one (the control connection gets
// some after its handshake, and every resumed connection a new one).
constexpr int kSessionPool = 16;
SSL_SESSION* g_sessions[kSessionPool];
int g_sessionCount = 0;

int KeepSession(SSL*, SSL_SESSION* session) {
  if (g_sessionCount == kSessionPool) {
    SSL_SESSION_free(g_sessions[0]);
    std::memmove(g_sessions, g_sessions + 1, sizeof g_sessions[0] * (kSessionPool - 1));
    --g_sessionCount;
  }
  g_sessions[g_sessionCount++] = session;
  return 1;  // the reference is kept
}

// One context for the process: the data connections resume the control
// connection's session, which needs the same context.
SSL_CTX* Context() {
  static SSL_CTX* context = nullptr;
  if (context != nullptr) return context;
  context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // TLS 1.2: forward secrecy (ECDHE) and an AEAD cipher only, never static
  // RSA or CBC; TLS 1.3's suites are all of that kind and stay as they are.
  SSL_CTX_set_cipher_list(context, "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL");
  // SSL_CERT_FILE and SSL_CERT_DIR apply, as for every OpenSSL program.
  SSL_CTX_set_default_verify_paths(context);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(context, KeepSession);
  SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_AUTO_RETRY);
  // The host is verified once, at the handshake: a TLS 1.2 renegotiation
  // could bring another certificate after the pin was checked.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  return context;
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until the socket is as the last call asked; false when the deadline passed.
bool WaitFor(int socket, int sslError, Clock::time_point deadline) {
  while (true) {
    const int left = MillisecondsLeft(deadline);
    if (left <= 0) return false;
    pollfd p{socket, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    const int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

Clock::time_point DeadlineIn(int milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

TlsFailure FailureOf(long verifyResult) {
  switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return TlsFailure::kExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsFailure::kNotYetValid;
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
    case X509_V_ERR_HOSTNAME_MISMATCH:
      return TlsFailure::kWrongHost;
    default:
      return TlsFailure::kUntrusted;
  }
}

// Security bits of the peer's key: 112 at least, in both modes (a pinned
// certificate is not checked by the chain's rules).
constexpr int kLeastSecurityBits = 112;

bool StrongPeerKey(SSL* ssl) {
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) return false;
  EVP_PKEY* key = X509_get0_pubkey(certificate);
  const bool ok = key != nullptr && EVP_PKEY_get_security_bits(key) >= kLeastSecurityBits;
  X509_free(certificate);
  return ok;
}

bool PinnedCertificate(SSL* ssl, const unsigned char* fingerprint) {
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) return false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = X509_digest(certificate, EVP_sha256(), digest, &length) == 1 && length == 32 &&
                  std::memcmp(digest, fingerprint, 32) == 0;
  X509_free(certificate);
  return ok;
}

}  // namespace

TlsConnection* TlsConnect(intptr_t socket, const TlsPeer& peer, const TlsConnection* resumeFrom,
                          int timeoutMilliseconds, TlsFailure* failure) {
  *failure = TlsFailure::kHandshake;
  SSL_CTX* context = Context();
  if (context == nullptr) return nullptr;
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) return nullptr;
  const int fd = static_cast<int>(socket);
  SSL_set_fd(ssl, fd);
  if (peer.fingerprint == nullptr) {
    // The chain to a system root, and the address among the names.
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), peer.address) != 1) {
      SSL_free(ssl);
      *failure = TlsFailure::kWrongHost;
      return nullptr;
    }
  } else {
    SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
  }
  if (resumeFrom != nullptr) {
    SSL_SESSION* session =
        g_sessionCount > 0 ? g_sessions[--g_sessionCount] : SSL_get1_session(resumeFrom->ssl);
    if (session != nullptr) {
      SSL_set_session(ssl, session);
      SSL_SESSION_free(session);
    }
  }
  const Clock::time_point deadline = DeadlineIn(timeoutMilliseconds);
  while (true) {
    ERR_clear_error();
    const int rc = SSL_connect(ssl);
    if (rc == 1) break;
    const int error = SSL_get_error(ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(fd, error, deadline)) continue;
      *failure = TlsFailure::kTimedOut;
    } else if (peer.fingerprint == nullptr && SSL_get_verify_result(ssl) != X509_V_OK) {
      *failure = FailureOf(SSL_get_verify_result(ssl));
    }
    SSL_free(ssl);
    return nullptr;
  }
  if (peer.fingerprint != nullptr && !PinnedCertificate(ssl, peer.fingerprint)) {
    SSL_free(ssl);
    *failure = TlsFailure::kWrongFingerprint;
    return nullptr;
  }
  if (!StrongPeerKey(ssl)) {
    SSL_free(ssl);
    *failure = TlsFailure::kWeakKey;
    return nullptr;
  }
  *failure = TlsFailure::kNone;
  return new TlsConnection{ssl};
}

int TlsRead(TlsConnection* connection, char* buffer, int size, int timeoutMilliseconds) {
  const Clock::time_point deadline = DeadlineIn(timeoutMilliseconds);
  const int fd = SSL_get_fd(connection->ssl);
  while (true) {
    ERR_clear_error();
    const int n = SSL_read(connection->ssl, buffer, size);
    if (n > 0) return n;
    const int error = SSL_get_error(connection->ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN) return kTlsEnded;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      // A TCP end without close_notify: the stream may have been cut.
      return kTlsBroken;
    }
    if (!WaitFor(fd, error, deadline)) return MillisecondsLeft(deadline) == 0 ? kTlsTimedOut : kTlsBroken;
  }
}

bool TlsWrite(TlsConnection* connection, const char* data, int length, int timeoutMilliseconds) {
  const int fd = SSL_get_fd(connection->ssl);
  Clock::time_point deadline = DeadlineIn(timeoutMilliseconds);
  while (length > 0) {
    ERR_clear_error();
    const int n = SSL_write(connection->ssl, data, length);
    if (n > 0) {
      data += n;
      length -= n;
      deadline = DeadlineIn(timeoutMilliseconds);
      continue;
    }
    const int error = SSL_get_error(connection->ssl, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    if (!WaitFor(fd, error, deadline)) return false;
  }
  return true;
}

void TlsClose(TlsConnection* connection) {
  if (connection == nullptr) return;
  ERR_clear_error();
  SSL_shutdown(connection->ssl);  // close_notify; the answer is not awaited
  SSL_free(connection->ssl);
  delete connection;
}
