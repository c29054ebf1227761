// Composition of the portal addresses behind the launcher's and the title bar's
// buttons, and which addresses the system's shell is given.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include "frame/PortalAddress.h"

namespace {
std::wstring Http(const wchar_t* host, const wchar_t* rest) { return std::wstring(L"http://") + host + rest; }
const wchar_t kChineseName[] = L"张三&李四";
// UTF-8 of 张三&李四, each byte escaped, the ampersand too.
const wchar_t kChineseEncoded[] = L"%E5%BC%A0%E4%B8%89%26%E6%9D%8E%E5%9B%9B";
}  // namespace

TEST(PortalAddress, FixedPagesKeepTheirForms) {
    EXPECT_EQ(portal::Forum(), Http(FORUM_HOST, L"/"));
    EXPECT_EQ(portal::GamePage(), Http(GAME_HOST, L""));
    EXPECT_NE(portal::GamePage().back(), L'/');
    EXPECT_EQ(portal::AntiAddiction(), Http(PORTAL_HOST, L"/my.php?act=fcm"));
    EXPECT_EQ(portal::ServiceBase(), Http(PORTAL_HOST, L"/api/kefu/wd.php?"));
    EXPECT_EQ(portal::RechargeBase(), Http(PAY_HOST, L"/?game_id=1530"));
}

TEST(PortalAddress, CustomerServiceCarriesNameAndGameId) {
    const std::wstring base = portal::ServiceBase();
    EXPECT_EQ(portal::Service(L"abc"), base + L"user_name=abc&game_id=1530");
    EXPECT_EQ(portal::Service(L""), base + L"user_name=&game_id=1530");
    EXPECT_EQ(portal::Service(nullptr), base + L"user_name=&game_id=1530");
    EXPECT_EQ(portal::Service(kChineseName), base + L"user_name=" + kChineseEncoded + L"&game_id=1530");
}

TEST(PortalAddress, TitleBarRechargeCarriesNameAndServerId) {
    const std::wstring base = portal::RechargeBase();
    EXPECT_EQ(portal::GameRecharge(L"abc", L""), base + L"&user_name=abc");
    EXPECT_EQ(portal::GameRecharge(L"abc", L"s12"), base + L"&user_name=abc&server_id=s12");
    // An empty name still names the parameter.
    EXPECT_EQ(portal::GameRecharge(L"", L""), base + L"&user_name=");
    EXPECT_EQ(portal::GameRecharge(L"", L"s12"), base + L"&user_name=&server_id=s12");
    EXPECT_EQ(portal::GameRecharge(kChineseName, L"7 8"),
              base + L"&user_name=" + kChineseEncoded + L"&server_id=7%208");
}

TEST(PortalAddress, LauncherRechargeOmitsEmptyNameAndServerId) {
    const std::wstring base = portal::RechargeBase();
    EXPECT_EQ(portal::LauncherRecharge(L""), base);
    EXPECT_EQ(portal::LauncherRecharge(nullptr), base);
    EXPECT_EQ(portal::LauncherRecharge(L"abc"), base + L"&user_name=abc");
    EXPECT_EQ(portal::LauncherRecharge(kChineseName), base + L"&user_name=" + kChineseEncoded);
}

TEST(PortalAddress, ValuesAreEncodedAsUtf8) {
    EXPECT_EQ(portal::EncodeQueryValue(L"AZaz09-._~"), L"AZaz09-._~");
    EXPECT_EQ(portal::EncodeQueryValue(L"a b+c=d?e#f/g%"), L"a%20b%2Bc%3Dd%3Fe%23f%2Fg%25");
    // A character outside the basic plane: one four-byte sequence.
    EXPECT_EQ(portal::EncodeQueryValue(L"\xD83D\xDE00"), L"%F0%9F%98%80");
    EXPECT_EQ(portal::EncodeQueryValue(L""), L"");
}

TEST(PortalAddress, LongValuesAreCutTo511Units) {
    const std::wstring plain(600, L'a');
    std::wstring service = portal::Service(plain.c_str());
    ASSERT_EQ(service.size(), 511u);
    EXPECT_EQ(service.substr(0, portal::ServiceBase().size() + 10), portal::ServiceBase() + L"user_name=");
    EXPECT_EQ(service.back(), L'a');

    std::wstring recharge = portal::GameRecharge(L"abc", plain.c_str());
    EXPECT_EQ(recharge.size(), 511u);
    EXPECT_EQ(portal::LauncherRecharge(plain.c_str()).size(), 511u);

    // A cut never leaves a partial escape behind, whatever the offset of the cut.
    for (size_t pad = 0; pad < 3; ++pad) {
        std::wstring name = std::wstring(pad, L'x') + std::wstring(200, L'张');
        std::wstring cut = portal::Service(name.c_str());
        ASSERT_LE(cut.size(), 511u);
        ASSERT_GE(cut.size(), 509u);
        size_t percent = cut.rfind(L'%');
        ASSERT_NE(percent, std::wstring::npos);
        EXPECT_EQ(cut.size() - percent, 3u) << "pad " << pad;
    }
}

// Popups hand the shell whatever a page asks for. Every scheme and every length up
// to 64 K: the shell gets an address only when it is a web address it takes whole
// (Wine 8's shell faults from 984 units on), and nothing is ever cut down to fit.
TEST(PortalAddress, TheShellGetsOnlyWebAddressesItCanTakeWhole) {
    const size_t kLongest = 65536;
    struct Scheme {
        const wchar_t* prefix;
        bool web;
    } schemes[] = {
        {L"http://", true},      {L"https://", true},    {L"HTTP://", true},        {L"hTtPs://", true},
        {L"ftp://", false},      {L"file:///", false},   {L"mailto:", false},       {L"javascript:", false},
        {L"data:text/html,", false}, {L"about:", false}, {L"chrome://", false},     {L"vbscript:", false},
        {L"ms-settings:", false}, {L"http:", false},     {L"http:/", false},        {L"https:\\\\", false},
        {L"httpx://", false},    {L" http://", false},   {L"\\\\host\\share\\", false}, {L"C:\\Windows\\", false},
        {L"", false},
    };
    // The rest of each address: characters the shell takes, in a fixed pseudo-random order.
    std::wstring allowed;
    for (wchar_t c = 0x21; c < 0x7F; ++c)
        if (c != L'"') allowed += c;
    unsigned seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (const Scheme& s : schemes) {
        std::wstring address = std::wstring(s.prefix) + L"127.0.0.1:18805/";
        while (address.size() < kLongest) address += allowed[next() % allowed.size()];
        const size_t prefix = wcslen(s.prefix);
        for (size_t length = 0; length <= kLongest; ++length) {
            bool expected = s.web && length >= prefix && length <= kShellAddressMaxUnits;
            ASSERT_EQ(expected, IsShellSafeWebAddress(address.data(), length))
                << "scheme \"" << testing::PrintToString(std::wstring(s.prefix)) << "\", length " << length;
        }
    }
    // At the bound, one character the shell's command line cannot carry as it is,
    // at any place, refuses the whole address.
    const wchar_t bad[] = {0, 1, 0x1F, L' ', L'"', 0x7F, 0x80, 0xA0, 0x4E2D, 0xD800, 0xDC00, 0xFFFD, 0xFFFF};
    std::wstring base = L"http://127.0.0.1:18805/";
    while (base.size() < kShellAddressMaxUnits) base += allowed[next() % allowed.size()];
    ASSERT_TRUE(IsShellSafeWebAddress(base.data(), base.size()));
    for (wchar_t c : bad)
        for (size_t at = 0; at < base.size(); ++at) {
            std::wstring a = base;
            a[at] = c;
            ASSERT_FALSE(IsShellSafeWebAddress(a.data(), a.size())) << "character " << (int)c << " at " << at;
        }
    EXPECT_FALSE(IsShellSafeWebAddress(nullptr, 0));
    // The portal's own addresses always pass, whatever the name they carry.
    const wchar_t* names[] = {L"a b", L"\"q\"", kChineseName, L"\xD800x", L"\x7f\x01"};
    for (const wchar_t* name : names) {
        for (const std::wstring& a : {portal::Service(name), portal::GameRecharge(name, name),
                                      portal::LauncherRecharge(name)})
            EXPECT_TRUE(IsShellSafeWebAddress(a.data(), a.size())) << testing::PrintToString(a);
    }
    const std::wstring longName(600, L'\x5f20');
    std::wstring cut = portal::Service(longName.c_str());
    EXPECT_TRUE(IsShellSafeWebAddress(cut.data(), cut.size()));
    for (const std::wstring& a : {portal::Forum(), portal::GamePage(), portal::AntiAddiction()})
        EXPECT_TRUE(IsShellSafeWebAddress(a.data(), a.size())) << testing::PrintToString(a);
}
