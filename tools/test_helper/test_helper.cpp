// A process for the unit tests to start.
//
//   test_helper sleep SECONDS        sleeps, then ends with 0
//   test_helper hold PATH SECONDS    opens PATH (Windows: without sharing),
//                                    creates PATH.held, and lets go once
//                                    PATH.release appears or SECONDS have
//                                    passed; 1 when PATH cannot be opened
//   test_helper root add|remove PEM  (Windows) puts the certificate of the
//                                    PEM file into the user's trusted roots,
//                                    or takes it out again; 1 on failure
//   test_helper spawn sleep SECONDS  starts a copy of itself that sleeps,
//                                    and ends at once
//   test_helper crash [guarded]      crashes (an access violation, SIGSEGV),
//                                    guarded as the programs guard
//                                    themselves (DisableCrashDumps)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#include <wincrypt.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "platform/process.h"

namespace {

bool Exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

int Hold(const char* path, int seconds) {
#if defined(_WIN32)
  HANDLE held = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
#else
  const int held = open(path, O_RDONLY);
  if (held < 0) return 1;
#endif
  const std::string release = std::string(path) + ".release";
  // Told only once the file is held, so that the test knows when to try it.
  if (FILE* f = std::fopen((std::string(path) + ".held").c_str(), "wb")) std::fclose(f);
  for (int i = 0; i < seconds * 10 && !Exists(release); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
#if defined(_WIN32)
  CloseHandle(held);
#else
  close(held);
#endif
  return 0;
}

#if defined(_WIN32)
int TrustRoot(bool add, const char* pemPath) {
  FILE* f = std::fopen(pemPath, "rb");
  if (f == nullptr) return 1;
  static char pem[16384];
  const size_t length = std::fread(pem, 1, sizeof pem - 1, f);
  std::fclose(f);
  static BYTE der[16384];
  DWORD derLength = sizeof der;
  if (!CryptStringToBinaryA(pem, static_cast<DWORD>(length), CRYPT_STRING_BASE64HEADER, der, &derLength,
                            nullptr, nullptr)) {
    return 1;
  }
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  if (store == nullptr) return 1;
  PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der, derLength);
  bool ok = certificate != nullptr;
  if (ok && add) {
    ok = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  } else if (ok) {
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    ok = found == nullptr || CertDeleteCertificateFromStore(found);
  }
  // Written to the registry now, not when the store is freed: Wine's
  // CertDeleteCertificateFromStore keeps a reference to the store, which
  // then outlives CertCloseStore, and the removal was never written (every
  // run left its root behind in the prefix).
  ok = ok && CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  CertCloseStore(store, 0);
  // Read back as the next process reads it: the test's TLS rows rely on it.
  if (ok && (store = CertOpenSystemStoreA(0, "ROOT")) != nullptr) {
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    if ((found != nullptr) != add) {
      std::fprintf(stderr, "test_helper: the root is %s the store once %s\n", add ? "not in" : "still in",
                   add ? "added" : "removed");
      ok = false;
    }
    if (found != nullptr) CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
  }
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  return ok ? 0 : 1;
}
#endif
// Starts "<this program> sleep <seconds>" and does not wait for it.
int Spawn(const char* seconds) {
#if defined(_WIN32)
  char self[MAX_PATH];
  if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return 1;
  std::string line = std::string("\"") + self + "\" sleep " + seconds;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return 1;
  }
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
#else
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/proc/self/exe", "test_helper", "sleep", seconds, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return 1;
#endif
  return 0;
}

int Crash(bool guarded) {
  if (guarded) DisableCrashDumps();
  std::fflush(nullptr);
#if defined(_WIN32)
  RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
  // No core file in the test's folder, and the system's end of a crash even
  // where a sanitizer would catch it.
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  signal(SIGSEGV, SIG_DFL);
  raise(SIGSEGV);
#endif
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  if (argc == 4 && std::strcmp(argv[1], "root") == 0) {
    return TrustRoot(std::strcmp(argv[2], "add") == 0, argv[3]);
  }
#endif
  if (argc == 2 && std::strcmp(argv[1], "console") == 0) {
    // 1 when this process got a console window of its own or another's.
#if defined(_WIN32)
    return GetConsoleWindow() != nullptr ? 1 : 0;
#else
    return 0;
#endif
  }
  if (argc == 3 && std::strcmp(argv[1], "sleep") == 0) {
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "hold") == 0) return Hold(argv[2], std::atoi(argv[3]));
  if (argc == 4 && std::strcmp(argv[1], "spawn") == 0 && std::strcmp(argv[2], "sleep") == 0) {
    return Spawn(argv[3]);
  }
  if (argc >= 2 && argc <= 3 && std::strcmp(argv[1], "crash") == 0) {
    return Crash(argc == 3 && std::strcmp(argv[2], "guarded") == 0);
  }
  std::fprintf(stderr, "usage: test_helper sleep SECONDS | hold PATH SECONDS | spawn sleep SECONDS | console"
                       " | crash [guarded]\n");
  return 2;
}
