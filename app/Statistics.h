// Usage statistics: the game page's start address with its tracking query, the
// device identifier, and the install and close reports sent by HTTP POST.
//
// Composition is kept in functions over plain values so that it can be checked
// without adapters, a processor or a server; the functions without "From" or
// "Compose" in their names read the machine and talk to the network.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

// Bodies, device ids and MAC lists are 8-bit text in the ANSI code page.
const size_t kStatsBodyBytes = 512;
const size_t kDeviceIdBytes = 260;
// Units of the MAC list carried by the start address.
const size_t kStartUrlMacUnits = 63;
const size_t kStartUrlUnits = 512;

// Each phase of a report (connect, send, receive) gives up after this long, so a
// server that accepts and never answers cannot hold start-up or exit for minutes.
const DWORD kStatsTimeoutMs = 3000;
// The caller of a report never waits longer than this, whatever the network
// stack does with the bounds above.
const DWORD kStatsWaitMs = kStatsTimeoutMs + 1000;

// --- composition over plain values ---------------------------------------

// Form encoding of bytes: letters, digits and "*-._" stay, a blank becomes "+",
// every other byte becomes "%XX". Bytes are encoded as they are, so an ANSI
// name keeps its code page's bytes.
std::string FormEncode(const std::string& bytes);
// The same for UTF-16 text going into an address: encoded as its UTF-8 bytes.
std::wstring FormEncodeWide(const std::wstring& text);

// Hardware addresses of the adapters, in the order the system lists them.
typedef std::vector<std::vector<unsigned char>> AdapterAddressList;

// Writes "00:1A:2B:3C:4D:5E#..." into `out` (at most size - 1 characters, whole
// addresses only). Returns the length, or -1 when no address byte was written.
int FormatMacListFrom(const AdapterAddressList& adapters, char* out, size_t size);

// The processor identification words that go into the device id, in id order:
// EDX and EAX of leaf 0, EDX and ECX of leaf 1.
struct CpuIdWords {
    unsigned leaf0Edx, leaf0Eax, leaf1Edx, leaf1Ecx;
};

// "<mac list>-<32 uppercase hex digits>" into `out`; a MAC list too long for
// `size` is cut at a whole address so the processor part always fits.
void ComposeDeviceId(const char* macList, const CpuIdWords& cpu, char* out, size_t size);

// The report bodies with every value form-encoded. A body that does not fit is
// cut before an incomplete escape. Return the length written.
int ComposeInstallBody(char* out, size_t size, unsigned long long now, const char* deviceId, int agentId,
                       int siteId);
int ComposeCloseBody(char* out, size_t size, unsigned long long now, const char* deviceId, int agentId, int siteId,
                     const char* userNameAnsi);

// The game page address with its tracking query. `macList` is ANSI text; it is
// limited to 63 units (whole addresses) before encoding.
void ComposeStartUrl(wchar_t* out, size_t units, const wchar_t* gamePage, const wchar_t* installTime, int agentId,
                     int siteId, int runCount, const char* macList);

// "http://<game host>/wd3/index.html" of this build.
std::wstring GamePageAddress();

// --- the machine and the network ------------------------------------------

// MAC list of this machine's adapters into `out`; -1 when there is none.
int FormatMacList(char* out, size_t size);
CpuIdWords ReadCpuIdWords();
// Made anew on every call from the adapters and the processor.
std::string MakeDeviceId();
// Whole seconds since 1970-01-01 00:00:00 UTC.
unsigned long long UnixTimeNow();

// POSTs `body` (text in a kStatsBodyBytes buffer) to "/" of `server` (host with
// an optional ":port"). The buffer is cleared and receives the reply. Returns
// the number of reply bytes read, 0 on any failure or after kStatsWaitMs.
int PostStatisticsTo(const char* server, char* body);
// The same to the statistics server of this build.
int PostStatistics(char* body);

// The start address of this run into `out` (kStartUrlUnits units).
void BuildStartUrl(wchar_t* out, size_t units, const wchar_t* installTime, int agentId, int siteId, int runCount);
void SendInstallReport(int agentId, int siteId);
void SendCloseReport(int agentId, int siteId, const char* userNameAnsi);
