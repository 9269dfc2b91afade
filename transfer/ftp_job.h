#pragma once
// Fetching the host's images with the FTP client ftp.exe.

#include "base/job_context.h"

// Exit statuses of our ftp.exe when, with TLS asked for, it refused the host
// before sending the user name (every get and put of the script then failed).
constexpr int kFtpExitNoTls = 251;        // no TLS offered (AUTH TLS, PBSZ, PROT refused)
constexpr int kFtpExitCertificate = 252;  // certificate not verified: root, address, validity
constexpr int kFtpExitFingerprint = 253;  // not the pinned certificate
constexpr int kFtpExitHandshake = 254;    // the TLS handshake failed or stalled

// Buffers of the job's settings reads.
constexpr int kFtpSettingSize = 10000;
constexpr int kFtpAddressSize = 20;
// Work copy of one get or put line: lines of more than 107 characters are
// left out of the script.
constexpr int kFtpWorkLineSize = 108;

// True when text is one dotted IPv4 address (four decimal numbers of 0 to
// 255, one to three digits each without leading zeros, between dots) and
// nothing else. Only such
// a text reaches the name service and the client's command line: anything
// more ("127.0.0.1 -s:other.txt") would be read by the client as options.
bool IsDottedIPv4(const char* text);

// 0 when address is a dotted IPv4 address and the name service has an entry
// for it, else -1.
int CheckHost(const char* address);

// Writes ftparg.txt from the settings through a temporary file (on POSIX
// readable by its owner only) renamed over it, and runs ftp.exe on it under
// the time limit; our client blanks the password line as soon as it has
// read it, and once the watch has ended the job blanks it again
// (BlankScriptPassword). Appends an error line for each get or put line
// with an unusable name or more than one word (left out of the script), for
// FTPS, FTPSFingerprint or MaxTransferMB values it cannot follow (nothing
// fetched) and when the client had to be terminated at the time limit. -1
// when the script cannot be written (with an error line that says whether a
// link stood in its place), a setting is refused or IPADDRESS is no dotted
// IPv4 address (the client is then not started), else 0.
int RunFtpJob(const JobContext& job);

// Overwrites the password line (the second) of <programFolder>ftparg.txt
// with as many blanks, in place; a link there is not followed, a missing
// script is fine. The job does it once its client has ended; the batch run
// at its start, for a script that a killed run left.
void BlankScriptPassword(const char* programFolder);

// Receives what the [DB2] section gives the script.
class FtpScriptSink {
 public:
  // One script line, without its line end.
  virtual void Line(const char* line) = 0;
  // A get or put line left out because its entry name would reach outside
  // the transfer folder or break the line (see IsUsableEntryName).
  virtual void Refused(const char* entryName) = 0;

 protected:
  ~FtpScriptSink() = default;
};

// Hands sink the script lines that the [DB2] section gives: "cd " lines as
// they are, "get " and "put " lines with the quoted local path
// <programFolder>DB2<separator><entry name>.DB2 (command words in any case),
// nothing for other lines and for get/put lines without a dot in their name
// or longer than 107 characters. section holds zero-terminated lines ended by
// an empty one; nothing at or beyond sectionSize is read. With checkLayout
// (CheckLayout=1) each get line is preceded by the host's description of its
// file: "quote rcmd DSPFFD FILE(<library/file>) OUTPUT(*OUTFILE)
// OUTFILE(QTEMP/QVFIELDS) OUTMBR(*FIRST *REPLACE)" and a get of
// QTEMP/QVFIELDS.QVFIELDS to <programFolder>DB2<separator><entry name>.FFD.
void WriteFtpCommands(const char* section, int sectionSize, const char* programFolder,
                      FtpScriptSink* sink, bool checkLayout = false);
