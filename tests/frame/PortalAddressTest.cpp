// Composition of the portal addresses behind the launcher's and the title bar's buttons.
#include <gtest/gtest.h>

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
