#pragma once
// Fetching the host's images with the system's FTP client.

// 0 when the name service has an entry for the dotted IPv4 address, else -1.
int CheckHost(const char* address);
// Writes ftparg.txt from the settings and runs ftp.exe on it under the time
// limit. -1 when the script cannot be written, else 0.
int RunFtpJob();
