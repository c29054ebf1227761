#include "browser/PopupGate.h"

#include <cwctype>
#include "BuildConfig.h"

bool CPopupGate::Admit(bool userGesture, bool ownHost, DWORD now) {
    if (!userGesture && !ownHost) return false;
    // Unsigned difference: right across the tick count's wrap after 49.7 days.
    if (admitted && now - lastAdmitted < kMinIntervalMs) return false;
    admitted = true;
    lastAdmitted = now;
    return true;
}

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = (wchar_t)towlower(c);
    return text;
}

// Splits "name[:port]" into the lower-cased name and the port text ("" when none).
void SplitHostPort(const std::wstring& hostPort, std::wstring* name, std::wstring* port) {
    size_t colon = hostPort.rfind(L':');
    *name = Lower(colon == std::wstring::npos ? hostPort : hostPort.substr(0, colon));
    *port = colon == std::wstring::npos ? std::wstring() : hostPort.substr(colon + 1);
}

}  // namespace

bool AddressIsOnHost(const std::wstring& address, const std::wstring& host) {
    std::wstring lower = Lower(address);
    const wchar_t* defaultPort = nullptr;
    size_t start = 0;
    if (lower.compare(0, 7, L"http://") == 0) {
        defaultPort = L"80";
        start = 7;
    } else if (lower.compare(0, 8, L"https://") == 0) {
        defaultPort = L"443";
        start = 8;
    } else {
        return false;
    }
    size_t end = lower.find_first_of(L"/?#\\", start);
    std::wstring authority = lower.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    // "user:password@" before the host is not the host.
    size_t at = authority.rfind(L'@');
    if (at != std::wstring::npos) authority.erase(0, at + 1);
    std::wstring name, port, wantName, wantPort;
    SplitHostPort(authority, &name, &port);
    SplitHostPort(host, &wantName, &wantPort);
    if (name.empty() || name != wantName) return false;
    if (port.empty()) port = defaultPort;
    if (wantPort.empty()) wantPort = defaultPort;
    return port == wantPort;
}

bool IsOwnHostAddress(const std::wstring& address) {
    static const wchar_t* const kOwnHosts[] = {VORNMARK_GAME_HOST_W, VORNMARK_PORTAL_HOST_W, VORNMARK_STATS_HOST_W,
                                               VORNMARK_FORUM_HOST_W, VORNMARK_PAY_HOST_W,
                                               VORNMARK_SIBLING_GAME_HOST_W};
    for (const wchar_t* host : kOwnHosts)
        if (host[0] && AddressIsOnHost(address, host)) return true;
    return false;
}
