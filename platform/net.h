#pragma once
// Host look-up.

// True when the system's name service returns a host entry for the dotted
// IPv4 address (a reverse look-up). Text that is not a dotted address is
// looked up as the all-ones address, as inet_addr converts it.
bool HostEntryExists(const char* address);
