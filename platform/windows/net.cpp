#include "platform/net.h"

#include <winsock2.h>

bool HostEntryExists(const char* address) {
  WSADATA data;
  // The start's result is not examined: without Windows Sockets the look-up
  // below simply fails.
  WSAStartup(MAKEWORD(2, 0), &data);
  const unsigned long binary = inet_addr(address);
  const hostent* entry = gethostbyaddr(reinterpret_cast<const char*>(&binary), 4, AF_INET);
  const bool found = entry != nullptr;
  WSACleanup();
  return found;
}
