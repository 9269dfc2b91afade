#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

bool HostEntryExists(const char* address) {
  in_addr binary;
  binary.s_addr = inet_addr(address);
  return gethostbyaddr(&binary, sizeof binary, AF_INET) != nullptr;
}
