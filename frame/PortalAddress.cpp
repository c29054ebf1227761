#include "frame/PortalAddress.h"

#include <windows.h>
#include <shellapi.h>
#include <cwchar>
#include "base/Text.h"

namespace {
bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::wstring Http(const wchar_t* host, const wchar_t* rest) {
    std::wstring out = L"http://";
    out += host;
    out += rest;
    return out;
}
}  // namespace

namespace portal {

std::wstring EncodeQueryValue(const wchar_t* value) {
    std::wstring out;
    if (!value || !value[0]) return out;
    static const wchar_t hex[] = L"0123456789ABCDEF";
    for (char byte : base::Utf8FromWide(value)) {
        unsigned char c = (unsigned char)byte;
        if (IsUnreserved(c)) {
            out += (wchar_t)c;
        } else {
            out += L'%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::wstring CutAddress(const std::wstring& address) {
    if (address.size() <= kAddressMaxUnits) return address;
    std::wstring out = address;
    base::CutUtf16(out, kAddressMaxUnits);
    // A cut escape would make the browser read a different byte; drop it whole.
    size_t n = out.size();
    if (n >= 1 && out[n - 1] == L'%') out.resize(n - 1);
    else if (n >= 2 && out[n - 2] == L'%') out.resize(n - 2);
    return out;
}

std::wstring Forum() { return CutAddress(Http(FORUM_HOST, L"/")); }
std::wstring GamePage() { return CutAddress(Http(GAME_HOST, L"")); }
std::wstring AntiAddiction() { return CutAddress(Http(PORTAL_HOST, L"/my.php?act=fcm")); }
std::wstring ServiceBase() { return Http(PORTAL_HOST, L"/api/kefu/wd.php?"); }
std::wstring RechargeBase() { return Http(PAY_HOST, L"/?game_id=") + std::to_wstring(VORNMARK_GAME_ID); }

std::wstring Service(const wchar_t* userName) {
    return CutAddress(ServiceBase() + L"user_name=" + EncodeQueryValue(userName) + L"&game_id=" +
                      std::to_wstring(VORNMARK_GAME_ID));
}

std::wstring GameRecharge(const wchar_t* userName, const wchar_t* serverId) {
    std::wstring out = RechargeBase() + L"&user_name=" + EncodeQueryValue(userName);
    if (serverId && serverId[0]) out += L"&server_id=" + EncodeQueryValue(serverId);
    return CutAddress(out);
}

std::wstring LauncherRecharge(const wchar_t* userName) {
    if (!userName || !userName[0]) return CutAddress(RechargeBase());
    return CutAddress(RechargeBase() + L"&user_name=" + EncodeQueryValue(userName));
}

}  // namespace portal

bool IsShellSafeWebAddress(const wchar_t* address, size_t length) {
    if (!address || length > kShellAddressMaxUnits) return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = address[i];
        if (c <= L' ' || c >= 0x7F || c == L'"') return false;
    }
    return (length >= 7 && _wcsnicmp(address, L"http://", 7) == 0) ||
           (length >= 8 && _wcsnicmp(address, L"https://", 8) == 0);
}

bool OpenAddress(const std::wstring& address) {
    // Popups hand over whatever a page asks for; the shell would also start local
    // programs ("file:") and any registered protocol. Only web pages are opened,
    // and only in a form the shell takes safely.
    if (!IsShellSafeWebAddress(address.data(), address.size())) return false;
    HINSTANCE result = ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOW);
    return (INT_PTR)result > 32;
}
