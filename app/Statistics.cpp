#include "app/Statistics.h"

#include <wininet.h>
#include <iphlpapi.h>
#include <cstdio>
#include <cstring>
#include "BuildConfig.h"
#include "base/Diagnostics.h"
#include "base/Text.h"

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace {

const char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded";
const char kHexDigits[] = "0123456789ABCDEF";

// Copies `text` into `out` (size bytes with terminator). When it has to be cut,
// the cut goes before an escape it would split, so the server never sees "%2".
template <typename Char>
int CopyCut(const std::basic_string<Char>& text, Char* out, size_t size) {
    if (!out || !size) return 0;
    size_t n = text.size();
    if (n > size - 1) {
        n = size - 1;
        if (n >= 1 && text[n - 1] == Char('%')) n -= 1;
        else if (n >= 2 && text[n - 2] == Char('%')) n -= 2;
    }
    memcpy(out, text.data(), n * sizeof(Char));
    out[n] = 0;
    return (int)n;
}

// The longest prefix of a MAC list within `limit` characters that ends on a
// whole address; a single address longer than the limit is cut plainly.
std::string WholeAddresses(const std::string& list, size_t limit) {
    if (list.size() <= limit) return list;
    size_t cut = list.rfind('#', limit);
    return cut == std::string::npos ? list.substr(0, limit) : list.substr(0, cut);
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

std::string FormEncode(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
            c == '.' || c == '_') {
            out += (char)c;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        }
    }
    return out;
}

std::wstring FormEncodeWide(const std::wstring& text) {
    return Widen(FormEncode(base::Utf8FromWide(text)));
}

int FormatMacListFrom(const AdapterAddressList& adapters, char* out, size_t size) {
    if (!out || !size) return -1;
    std::string text;
    for (const std::vector<unsigned char>& address : adapters) {
        if (address.empty()) continue;
        std::string one;
        for (size_t i = 0; i < address.size(); ++i) {
            one += kHexDigits[address[i] >> 4];
            one += kHexDigits[address[i] & 15];
            if (i + 1 < address.size()) one += ':';
        }
        if (text.size() + (text.empty() ? 0 : 1) + one.size() > size - 1) break;
        if (!text.empty()) text += '#';
        text += one;
    }
    CopyCut(text, out, size);
    return text.empty() ? -1 : (int)text.size();
}

void ComposeDeviceId(const char* macList, const CpuIdWords& cpu, char* out, size_t size) {
    if (!out || !size) return;
    char words[40];
    snprintf(words, sizeof(words), "-%08X%08X%08X%08X", cpu.leaf0Edx, cpu.leaf0Eax, cpu.leaf1Edx, cpu.leaf1Ecx);
    size_t wordsLen = strlen(words);
    std::string mac = macList ? macList : "";
    size_t room = size - 1 > wordsLen ? size - 1 - wordsLen : 0;
    std::string id = WholeAddresses(mac, room) + words;
    CopyCut(id, out, size);
}

int ComposeInstallBody(char* out, size_t size, unsigned long long now, const char* deviceId, int agentId,
                       int siteId) {
    std::string body = "game_id=" + std::to_string(VORNMARK_GAME_ID) + "&action=install&install_time=" +
                       std::to_string(now) + "&uuid=" + FormEncode(deviceId ? deviceId : "") +
                       "&agent_id=" + std::to_string(agentId) + "&site_id=" + std::to_string(siteId);
    return CopyCut(body, out, size);
}

int ComposeCloseBody(char* out, size_t size, unsigned long long now, const char* deviceId, int agentId, int siteId,
                     const char* userNameAnsi) {
    std::string body = "game_id=" + std::to_string(VORNMARK_GAME_ID) + "&action=close&logout_time=" +
                       std::to_string(now) + "&uuid=" + FormEncode(deviceId ? deviceId : "") +
                       "&agent_id=" + std::to_string(agentId) + "&site_id=" + std::to_string(siteId) +
                       "&user_name=" + FormEncode(userNameAnsi ? userNameAnsi : "");
    return CopyCut(body, out, size);
}

void ComposeStartUrl(wchar_t* out, size_t units, const wchar_t* gamePage, const wchar_t* installTime, int agentId,
                     int siteId, int runCount, const char* macList) {
    std::string mac = WholeAddresses(macList ? macList : "", kStartUrlMacUnits);
    std::wstring wideMac = base::WideFromNarrow(mac, CP_ACP);
    std::wstring url = std::wstring(gamePage ? gamePage : L"") + L"?installtime=" +
                       FormEncodeWide(installTime ? installTime : L"") + L"&agent_id=" + std::to_wstring(agentId) +
                       L"&cplaceid=" + std::to_wstring(siteId) + L"&runcount=" + std::to_wstring(runCount) +
                       L"&mac=" + FormEncodeWide(wideMac) + L"&Version=" + FormEncodeWide(L"chrome:20181024") +
                       L"&UIVersion=" + FormEncodeWide(L"brenmoor");
    CopyCut(url, out, units);
}

std::wstring GamePageAddress() { return std::wstring(L"http://") + VORNMARK_GAME_HOST_W + L"/wd3/index.html"; }

int FormatMacList(char* out, size_t size) {
    if (!out || !size) return -1;
    out[0] = 0;
    ULONG bytes = 0;
    if (GetAdaptersInfo(nullptr, &bytes) != ERROR_BUFFER_OVERFLOW || bytes == 0) return -1;
    std::vector<unsigned char> storage(bytes);
    IP_ADAPTER_INFO* list = reinterpret_cast<IP_ADAPTER_INFO*>(storage.data());
    if (GetAdaptersInfo(list, &bytes) != ERROR_SUCCESS) return -1;
    AdapterAddressList addresses;
    for (IP_ADAPTER_INFO* a = list; a; a = a->Next) {
        UINT length = a->AddressLength < MAX_ADAPTER_ADDRESS_LENGTH ? a->AddressLength : MAX_ADAPTER_ADDRESS_LENGTH;
        addresses.emplace_back(a->Address, a->Address + length);
    }
    return FormatMacListFrom(addresses, out, size);
}

CpuIdWords ReadCpuIdWords() {
    CpuIdWords w = {};
#if defined(_MSC_VER)
    int r[4];
    __cpuid(r, 0);
    w.leaf0Eax = (unsigned)r[0];
    w.leaf0Edx = (unsigned)r[3];
    __cpuidex(r, 1, 0);
    w.leaf1Ecx = (unsigned)r[2];
    w.leaf1Edx = (unsigned)r[3];
#else
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    w.leaf0Eax = a;
    w.leaf0Edx = d;
    __cpuid_count(1, 0, a, b, c, d);
    w.leaf1Ecx = c;
    w.leaf1Edx = d;
#endif
    return w;
}

std::string MakeDeviceId() {
    char mac[kDeviceIdBytes] = {0};
    FormatMacList(mac, sizeof(mac));
    char id[kDeviceIdBytes] = {0};
    ComposeDeviceId(mac, ReadCpuIdWords(), id, sizeof(id));
    return id;
}

unsigned long long UnixTimeNow() {
    SYSTEMTIME st;
    FILETIME ft;
    GetSystemTime(&st);
    SystemTimeToFileTime(&st, &ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return (t.QuadPart - 116444736000000000ULL) / 10000000ULL;
}

namespace {

// The WinINet exchange itself, on the calling thread.
int SendReportNow(const char* server, char* body) {
    HINTERNET internet = InternetOpenA("PostData", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!internet) return 0;

    // Bound every phase. Set on the session so the connection and the request
    // inherit it, and again on the request for stacks that do not pass it down;
    // one connect attempt, so the bound is not multiplied by retries.
    DWORD timeout = kStatsTimeoutMs;
    DWORD retries = 1;
    InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(internet, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof(retries));

    std::string address = std::string("http://") + server + "/";
    char host[64] = {0};
    char path[256] = {0};
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof(path);
    InternetCrackUrlA(address.c_str(), 0, 0, &parts);
    if (!path[0]) strcpy(path, "/");

    HINTERNET connection = InternetConnectA(internet, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
    if (!connection) {
        InternetCloseHandle(internet);
        return 0;
    }
    HINTERNET request = HttpOpenRequestA(connection, "POST", path, nullptr, nullptr, nullptr, 0, 1);
    if (!request) {
        InternetCloseHandle(connection);
        InternetCloseHandle(internet);
        return 0;
    }
    InternetSetOptionA(request, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));

    const DWORD addReplace = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
    HttpAddRequestHeadersA(request, kFormContentType, (DWORD)-1, addReplace);
    HttpAddRequestHeadersA(request, "Accept: */*", (DWORD)-1, addReplace);

    DWORD bodyLength = (DWORD)strnlen(body, kStatsBodyBytes - 1);
    BOOL sent = HttpSendRequestA(request, kFormContentType, (DWORD)strlen(kFormContentType), body, bodyLength);

    // The buffer takes the reply; one byte stays free so it remains a text.
    memset(body, 0, kStatsBodyBytes);
    DWORD read = 0;
    if (sent && !InternetReadFile(request, body, (DWORD)kStatsBodyBytes - 1, &read)) read = 0;

    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(internet);
    return (int)read;
}

// One report handed to a worker thread. The caller and the worker each hold a
// reference; whoever lets go last frees it. The worker writes `read` and
// `buffer` before it ends, and the caller reads them only after seeing the
// thread end, which orders the writes before the reads.
struct PostJob {
    std::string server;
    char buffer[kStatsBodyBytes];
    int read = 0;
    LONG refs = 2;
};

void ReleaseJob(PostJob* job) {
    if (InterlockedDecrement(&job->refs) == 0) delete job;
}

DWORD WINAPI PostWorker(LPVOID param) {
    PostJob* job = static_cast<PostJob*>(param);
    job->read = SendReportNow(job->server.c_str(), job->buffer);
    ReleaseJob(job);
    return 0;
}

}  // namespace

int PostStatisticsTo(const char* server, char* body) {
    if (!server || !body) return 0;
    PostJob* job = new PostJob;
    job->server = server;
    memcpy(job->buffer, body, kStatsBodyBytes);
    job->buffer[kStatsBodyBytes - 1] = 0;
    HANDLE worker = CreateThread(nullptr, 0, PostWorker, job, 0, nullptr);
    if (!worker) {
        delete job;
        return SendReportNow(server, body);  // no thread to be had: unguarded, on this one
    }
    // WinINet's own bounds do not cover every phase on every stack (a connect
    // that is never answered, a name that does not resolve), so the caller
    // waits at most kStatsWaitMs. A worker still busy then is left to finish
    // or fail on its own; it owns everything it touches.
    int read = 0;
    memset(body, 0, kStatsBodyBytes);
    if (WaitForSingleObject(worker, kStatsWaitMs) == WAIT_OBJECT_0) {
        read = job->read;
        memcpy(body, job->buffer, kStatsBodyBytes);
    } else {
        base::DiagFailure(L"statistics", L"report to %hs not done within %lu ms; left to its worker", server,
                          (unsigned long)kStatsWaitMs);
    }
    CloseHandle(worker);
    ReleaseJob(job);
    return read;
}

int PostStatistics(char* body) { return PostStatisticsTo(VORNMARK_STATS_HOST_A, body); }

void BuildStartUrl(wchar_t* out, size_t units, const wchar_t* installTime, int agentId, int siteId, int runCount) {
    char mac[kStatsBodyBytes] = {0};
    FormatMacList(mac, sizeof(mac));
    ComposeStartUrl(out, units, GamePageAddress().c_str(), installTime, agentId, siteId, runCount, mac);
}

void SendInstallReport(int agentId, int siteId) {
    char body[kStatsBodyBytes] = {0};
    ComposeInstallBody(body, sizeof(body), UnixTimeNow(), MakeDeviceId().c_str(), agentId, siteId);
    PostStatistics(body);
}

void SendCloseReport(int agentId, int siteId, const char* userNameAnsi) {
    char body[kStatsBodyBytes] = {0};
    ComposeCloseBody(body, sizeof(body), UnixTimeNow(), MakeDeviceId().c_str(), agentId, siteId, userNameAnsi);
    PostStatistics(body);
}
