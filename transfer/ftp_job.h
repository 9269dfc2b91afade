#pragma once
// Fetching the host's images with the system's FTP client.

// Buffers of the job's settings reads.
constexpr int kFtpSettingSize = 10000;
constexpr int kFtpAddressSize = 20;
// Work copy of one get or put line: lines of more than 107 characters are
// left out of the script.
constexpr int kFtpWorkLineSize = 108;

// 0 when the name service has an entry for the dotted IPv4 address, else -1.
int CheckHost(const char* address);
// Writes ftparg.txt from the settings and runs ftp.exe on it under the time
// limit. -1 when the script cannot be written, else 0.
int RunFtpJob();

// Receives each script line, without its line end.
using FtpScriptSink = void (*)(const char* line, void* context);

// Hands sink the script lines that the [DB2] section gives: "cd " lines as
// they are, "get " and "put " lines with the quoted local path
// <programFolder>DB2<separator><entry name>.DB2 (command words in any case),
// nothing for other lines and for get/put lines without a dot in their name
// or longer than 107 characters. section holds zero-terminated lines ended by
// an empty one; nothing at or beyond sectionSize is read.
void WriteFtpCommands(const char* section, int sectionSize, const char* programFolder,
                      FtpScriptSink sink, void* context);
