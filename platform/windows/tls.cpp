#include "platform/tls.h"

TlsConnection* TlsConnect(intptr_t, const TlsPeer&, const TlsConnection*, int, TlsFailure* failure) {
  *failure = TlsFailure::kHandshake;
  return nullptr;
}
int TlsRead(TlsConnection*, char*, int, int) { return kTlsBroken; }
bool TlsWrite(TlsConnection*, const char*, int, int) { return false; }
void TlsClose(TlsConnection*) {}
