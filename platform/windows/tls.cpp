#include "platform/tls.h"

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstring>

namespace {

// One TLS record: header, up to 16 KiB of data, trailer; with room to spare.
constexpr int kRecordBufferSize = 16384 + 2048;
// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of wininet.h.
constexpr DWORD kIgnoreNameMismatch = 0x00001000;
// The content type of a TLS alert record.
constexpr unsigned char kAlertRecord = 21;

}  // namespace

struct TlsConnection {
  SOCKET socket;
  CtxtHandle context;
  SecPkgContext_StreamSizes sizes;
  char in[kRecordBufferSize];  // received, not yet decrypted
  int inUsed;
  char plain[kRecordBufferSize];  // decrypted, not yet handed out
  int plainStart;
  int plainEnd;
  bool ended;
};

namespace {

constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// One credential for the process: Schannel resumes a session of the same
// credential and target name, which gives the data connections the control
// connection's session.
CredHandle* Credentials() {
  static CredHandle credentials;
  static bool have = false;
  if (have) return &credentials;
  SCHANNEL_CRED cred;
  std::memset(&cred, 0, sizeof cred);
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The certificate is checked below, before anything is sent.
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  TimeStamp expiry;
  if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                &cred, nullptr, nullptr, &credentials, &expiry) != SEC_E_OK) {
    return nullptr;
  }
  have = true;
  return &credentials;
}

// Waits until socket is readable (or writable); false when the deadline passed.
bool WaitFor(SOCKET socket, bool write, ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  if (now >= deadline) return false;
  const ULONGLONG left = deadline - now;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval limit;
  limit.tv_sec = static_cast<long>(left / 1000);
  limit.tv_usec = static_cast<long>((left % 1000) * 1000);
  return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &limit) > 0;
}

bool SendRaw(SOCKET socket, const char* data, int length, int timeoutMilliseconds) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds);
  while (length > 0) {
    const int n = send(socket, data, length, 0);
    if (n > 0) {
      data += n;
      length -= n;
      deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds);
      continue;
    }
    if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (!WaitFor(socket, true, deadline)) return false;
  }
  return true;
}

// Receives into buffer; the count, 0 at the end, -1 on error, kTlsTimedOut.
int ReceiveRaw(SOCKET socket, char* buffer, int size, ULONGLONG deadline) {
  while (true) {
    const int n = recv(socket, buffer, size, 0);
    if (n >= 0) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (!WaitFor(socket, false, deadline)) return GetTickCount64() >= deadline ? kTlsTimedOut : -1;
  }
}

bool SendToken(SOCKET socket, SecBuffer* token, int timeoutMilliseconds) {
  bool ok = true;
  if (token->cbBuffer > 0 && token->pvBuffer != nullptr) {
    ok = SendRaw(socket, static_cast<const char*>(token->pvBuffer), static_cast<int>(token->cbBuffer),
                 timeoutMilliseconds);
  }
  if (token->pvBuffer != nullptr) FreeContextBuffer(token->pvBuffer);
  token->pvBuffer = nullptr;
  return ok;
}

// The handshake; the bytes received past its end stay in c->in.
TlsFailure Handshake(TlsConnection* c, CredHandle* credentials, const char* target, int timeoutMilliseconds) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds);
  bool first = true;
  DWORD request = kContextRequest;
  c->inUsed = 0;
  while (true) {
    SecBuffer inBuffers[2];
    inBuffers[0] = {static_cast<unsigned long>(c->inUsed), SECBUFFER_TOKEN, c->in};
    inBuffers[1] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
    SecBuffer outBuffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuffer};
    unsigned long attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = InitializeSecurityContextA(
        credentials, first ? nullptr : &c->context, const_cast<char*>(target), request, 0, 0,
        first ? nullptr : &inDesc, 0, first ? &c->context : nullptr, &outDesc, &attributes, &expiry);
    first = false;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && !(request & ISC_REQ_USE_SUPPLIED_CREDS)) {
      // The server asks for a client certificate: go on without one, on
      // the same input.
      request |= ISC_REQ_USE_SUPPLIED_CREDS;
      continue;
    }
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
        (FAILED(status) && (attributes & ISC_RET_EXTENDED_ERROR))) {
      if (!SendToken(c->socket, &outBuffer, timeoutMilliseconds)) return TlsFailure::kHandshake;
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      // More of the server's message is needed: keep what came.
    } else {
      // What the call did not take is the start of the next message.
      const int extra = inBuffers[1].BufferType == SECBUFFER_EXTRA ? static_cast<int>(inBuffers[1].cbBuffer) : 0;
      if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_OK) return TlsFailure::kHandshake;
      std::memmove(c->in, c->in + c->inUsed - extra, static_cast<size_t>(extra));
      c->inUsed = extra;
      if (status == SEC_E_OK) return TlsFailure::kNone;
      if (extra > 0) continue;
    }
    if (c->inUsed >= kRecordBufferSize) return TlsFailure::kHandshake;
    const int n = ReceiveRaw(c->socket, c->in + c->inUsed, kRecordBufferSize - c->inUsed, deadline);
    if (n == kTlsTimedOut) return TlsFailure::kTimedOut;
    if (n <= 0) return TlsFailure::kHandshake;
    c->inUsed += n;
  }
}

bool Sha256(const BYTE* data, DWORD length, unsigned char out[32]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
            BCryptHashData(hash, const_cast<BYTE*>(data), length, 0) == 0 &&
            BCryptFinishHash(hash, out, 32, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

// True when the certificate names the dotted IPv4 address among its
// IP-address subject alternative names. (Checked here: not every SSL policy
// matches a name that is an address.)
bool NamesAddress(PCCERT_CONTEXT certificate, const char* address) {
  const unsigned long wanted = inet_addr(address);
  if (wanted == INADDR_NONE && std::strcmp(address, "255.255.255.255") != 0) return false;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            std::memcmp(entry.IPAddress.pbData, &wanted, 4) == 0;
  }
  LocalFree(names);
  return found;
}

// True when the certificate's key gives 112 bits of security or more: an
// elliptic curve of 224 bits, any other key (RSA, DSA) of 2048.
bool StrongKey(PCCERT_CONTEXT certificate) {
  CERT_PUBLIC_KEY_INFO* info = &certificate->pCertInfo->SubjectPublicKeyInfo;
  DWORD bits = CertGetPublicKeyLength(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, info);
  const bool curve = info->Algorithm.pszObjId != nullptr &&
                     std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0;
  if (curve && info->PublicKey.cbData > 1) {
    // The point's own size (not every system measures curve keys): 04 X Y,
    // or 02/03 X.
    const DWORD n = info->PublicKey.cbData - 1;
    const DWORD pointBits = info->PublicKey.pbData[0] == 0x04 ? n / 2 * 8 : n * 8;
    if (pointBits > bits) bits = pointBits;
  }
  return bits >= (curve ? 224u : 2048u);
}

// True when the suite agreed on keeps forward secrecy with an AEAD cipher:
// TLS 1.2's ECDHE with AES-GCM or ChaCha20-Poly1305, or TLS 1.3. Schannel
// takes its suites from the system's list, which may hold static RSA and
// CBC ones; such a suite ends the connection before anything is sent.
bool ForwardSecretSuite(TlsConnection* c) {
  SecPkgContext_CipherInfo info;
  std::memset(&info, 0, sizeof info);
  if (QueryContextAttributesA(&c->context, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK &&
      info.dwCipherSuite != 0) {
    switch (info.dwCipherSuite) {
      case 0xC02B:  // TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256
      case 0xC02C:  // TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384
      case 0xC02F:  // TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256
      case 0xC030:  // TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384
      case 0xCCA8:  // TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256
      case 0xCCA9:  // TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256
      case 0x1301:  // TLS 1.3
      case 0x1302:
      case 0x1303:
        return true;
      default:
        return false;
    }
  }
  // A system that cannot name the suite: at least the key exchange.
  SecPkgContext_ConnectionInfo connection;
  std::memset(&connection, 0, sizeof connection);
  return QueryContextAttributesA(&c->context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK &&
         connection.aiExch == CALG_ECDH_EPHEM;
}

// The certificate against the pinned fingerprint, or the system's roots and
// the address; in both modes its key must not be weak.
TlsFailure Verify(TlsConnection* c, const TlsPeer& peer) {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(&c->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr) {
    return TlsFailure::kUntrusted;
  }
  TlsFailure result = TlsFailure::kNone;
  if (peer.fingerprint != nullptr) {
    unsigned char digest[32];
    if (!Sha256(certificate->pbCertEncoded, certificate->cbCertEncoded, digest) ||
        std::memcmp(digest, peer.fingerprint, 32) != 0) {
      result = TlsFailure::kWrongFingerprint;
    } else if (!StrongKey(certificate)) {
      result = TlsFailure::kWeakKey;
    }
    CertFreeCertificateContext(certificate);
    return result;
  }
  CERT_CHAIN_PARA chainPara;
  std::memset(&chainPara, 0, sizeof chainPara);
  chainPara.cbSize = sizeof chainPara;
  LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                               nullptr, &chain)) {
    CertFreeCertificateContext(certificate);
    return TlsFailure::kUntrusted;
  }
  wchar_t name[32];
  MultiByteToWideChar(CP_ACP, 0, peer.address, -1, name, 32);
  name[31] = L'\0';
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
  std::memset(&ssl, 0, sizeof ssl);
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = name;
  // The address is matched below, against the IP-address names.
  ssl.fdwChecks = kIgnoreNameMismatch;
  CERT_CHAIN_POLICY_PARA policy;
  std::memset(&policy, 0, sizeof policy);
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status;
  std::memset(&status, 0, sizeof status);
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
    result = TlsFailure::kUntrusted;
  } else if (status.dwError == static_cast<DWORD>(CERT_E_EXPIRED)) {
    result = CertVerifyTimeValidity(nullptr, certificate->pCertInfo) < 0 ? TlsFailure::kNotYetValid
                                                                        : TlsFailure::kExpired;
  } else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
    result = TlsFailure::kWrongHost;
  } else if (status.dwError != 0) {
    result = TlsFailure::kUntrusted;
  } else if (!NamesAddress(certificate, peer.address)) {
    result = TlsFailure::kWrongHost;
  } else if (!StrongKey(certificate)) {
    result = TlsFailure::kWeakKey;
  }
  CertFreeCertificateChain(chain);
  CertFreeCertificateContext(certificate);
  return result;
}

}  // namespace

TlsConnection* TlsConnect(intptr_t socket, const TlsPeer& peer, const TlsConnection*,
                          int timeoutMilliseconds, TlsFailure* failure) {
  *failure = TlsFailure::kHandshake;
  CredHandle* credentials = Credentials();
  if (credentials == nullptr) return nullptr;
  TlsConnection* c = new TlsConnection;
  c->socket = static_cast<SOCKET>(socket);
  c->plainStart = c->plainEnd = 0;
  c->ended = false;
  // The target name keys Schannel's session cache: the data connections
  // of the same host resume the control connection's session.
  *failure = Handshake(c, credentials, peer.address, timeoutMilliseconds);
  if (*failure == TlsFailure::kNone && !ForwardSecretSuite(c)) *failure = TlsFailure::kHandshake;
  if (*failure == TlsFailure::kNone) *failure = Verify(c, peer);
  if (*failure == TlsFailure::kNone &&
      QueryContextAttributesA(&c->context, SECPKG_ATTR_STREAM_SIZES, &c->sizes) != SEC_E_OK) {
    *failure = TlsFailure::kHandshake;
  }
  if (*failure != TlsFailure::kNone) {
    DeleteSecurityContext(&c->context);
    delete c;
    return nullptr;
  }
  return c;
}

int TlsRead(TlsConnection* c, char* buffer, int size, int timeoutMilliseconds) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds);
  while (c->plainStart == c->plainEnd) {
    if (c->ended) return kTlsEnded;
    if (c->inUsed > 0) {
      SecBuffer buffers[4];
      buffers[0] = {static_cast<unsigned long>(c->inUsed), SECBUFFER_DATA, c->in};
      buffers[1] = {0, SECBUFFER_EMPTY, nullptr};
      buffers[2] = {0, SECBUFFER_EMPTY, nullptr};
      buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      // Wine's Schannel reports the peer's close_notify as an alert record
      // that decrypts to nothing, where Windows says SEC_I_CONTEXT_EXPIRED.
      const bool alert = c->inUsed >= 5 && static_cast<unsigned char>(c->in[0]) == kAlertRecord;
      const SECURITY_STATUS status = DecryptMessage(&c->context, &desc, 0, nullptr);
      if (status == SEC_E_OK && alert) {
        c->ended = true;
        return kTlsEnded;
      }
      if (status == SEC_E_OK) {
        int extra = 0;
        for (const SecBuffer& b : buffers) {
          if (b.BufferType == SECBUFFER_DATA && b.cbBuffer <= sizeof c->plain) {
            std::memcpy(c->plain, b.pvBuffer, b.cbBuffer);
            c->plainStart = 0;
            c->plainEnd = static_cast<int>(b.cbBuffer);
          }
          if (b.BufferType == SECBUFFER_EXTRA) extra = static_cast<int>(b.cbBuffer);
        }
        std::memmove(c->in, c->in + c->inUsed - extra, static_cast<size_t>(extra));
        c->inUsed = extra;
        continue;
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {
        // The peer's close_notify: the stream is whole.
        c->ended = true;
        return kTlsEnded;
      }
      if (status == SEC_I_RENEGOTIATE) {
        // The host was verified once, at the handshake: a renegotiation
        // could bring another certificate. It ends the connection.
        return kTlsBroken;
      }
      if (status != SEC_E_INCOMPLETE_MESSAGE) return kTlsBroken;
    }
    if (c->inUsed >= kRecordBufferSize) return kTlsBroken;
    const int n = ReceiveRaw(c->socket, c->in + c->inUsed, kRecordBufferSize - c->inUsed, deadline);
    if (n == kTlsTimedOut) return kTlsTimedOut;
    // A TCP end without close_notify: the stream may have been cut.
    if (n <= 0) return kTlsBroken;
    c->inUsed += n;
  }
  const int n = size < c->plainEnd - c->plainStart ? size : c->plainEnd - c->plainStart;
  std::memcpy(buffer, c->plain + c->plainStart, static_cast<size_t>(n));
  c->plainStart += n;
  return n;
}

bool TlsWrite(TlsConnection* c, const char* data, int length, int timeoutMilliseconds) {
  static char record[kRecordBufferSize + 1024];
  const int most = static_cast<int>(c->sizes.cbMaximumMessage);
  while (length > 0) {
    const int n = length < most ? length : most;
    const int header = static_cast<int>(c->sizes.cbHeader);
    const int trailer = static_cast<int>(c->sizes.cbTrailer);
    if (header + n + trailer > static_cast<int>(sizeof record)) return false;
    std::memcpy(record + header, data, static_cast<size_t>(n));
    SecBuffer buffers[4];
    buffers[0] = {static_cast<unsigned long>(header), SECBUFFER_STREAM_HEADER, record};
    buffers[1] = {static_cast<unsigned long>(n), SECBUFFER_DATA, record + header};
    buffers[2] = {static_cast<unsigned long>(trailer), SECBUFFER_STREAM_TRAILER, record + header + n};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&c->context, 0, &desc, 0) != SEC_E_OK) return false;
    const int total = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    if (!SendRaw(c->socket, record, total, timeoutMilliseconds)) return false;
    data += n;
    length -= n;
  }
  return true;
}

void TlsClose(TlsConnection* c) {
  if (c == nullptr) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&c->context, &controlDesc) == SEC_E_OK) {
    SecBuffer outBuffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuffer};
    unsigned long attributes = 0;
    TimeStamp expiry;
    // The close_notify; its answer is not awaited.
    if (InitializeSecurityContextA(Credentials(), &c->context, nullptr, kContextRequest, 0, 0, nullptr, 0,
                                   nullptr, &outDesc, &attributes, &expiry) == SEC_E_OK) {
      SendToken(c->socket, &outBuffer, 1000);
    } else if (outBuffer.pvBuffer != nullptr) {
      FreeContextBuffer(outBuffer.pvBuffer);
    }
  }
  DeleteSecurityContext(&c->context);
  delete c;
}
