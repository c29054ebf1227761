// Usage statistics: composition of the MAC list, device id, report bodies and
// start address over plain values, and the report request against a recording
// server on the loopback interface.
#include "RecordingServer.h"

#include <gtest/gtest.h>
#include <ctime>
#include <string>
#include "app/Statistics.h"
#include "common/Loopback.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Fields;

const std::vector<unsigned char> kFirst = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::vector<unsigned char> kSecond = {0x02, 0x00, 0x00, 0xAA, 0xBB, 0xCC};
const char kTwoMacs[] = "00:1A:2B:3C:4D:5E#02:00:00:AA:BB:CC";
const CpuIdWords kCpu = {0x49656E69, 0x0000000D, 0xBFEBFBFF, 0x7FFAFBBF};
const char kCpuPart[] = "-49656E690000000DBFEBFBFF7FFAFBBF";

std::string Narrow(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) {
        EXPECT_LT((unsigned)c, 0x80u) << "address not plain ASCII after encoding";
        out += (char)c;
    }
    return out;
}

std::string Ansi(const std::wstring& w) {
    char buf[256] = {0};
    WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, buf, sizeof(buf), nullptr, nullptr);
    return buf;
}

// The query of a start address, split into its fields.
Fields Query(const wchar_t* url) {
    std::string text = Narrow(url);
    size_t q = text.find('?');
    EXPECT_NE(std::string::npos, q) << text;
    return ParseForm(text.substr(q + 1));
}

std::vector<std::string> Keys(const Fields& f) {
    std::vector<std::string> keys;
    for (auto& p : f) keys.push_back(p.first);
    return keys;
}

std::string Value(const Fields& f, const std::string& key) {
    for (auto& p : f)
        if (p.first == key) return p.second;
    return "<missing>";
}

bool EndsInPartialEscape(const std::string& s) {
    size_t n = s.size();
    return (n >= 1 && s[n - 1] == '%') || (n >= 2 && s[n - 2] == '%');
}

}  // namespace

TEST(MacList, AdaptersInListOrderSeparatedByHashAndEmptyAddressesSkipped) {
    char buf[260];
    EXPECT_EQ((int)strlen(kTwoMacs), FormatMacListFrom({kFirst, kSecond}, buf, sizeof(buf)));
    EXPECT_STREQ(kTwoMacs, buf);

    // A zero-length address adds nothing, not even a separator.
    EXPECT_EQ((int)strlen(kTwoMacs), FormatMacListFrom({{}, kFirst, {}, kSecond, {}}, buf, sizeof(buf)));
    EXPECT_STREQ(kTwoMacs, buf);

    strcpy(buf, "junk");
    EXPECT_EQ(-1, FormatMacListFrom({}, buf, sizeof(buf)));
    EXPECT_STREQ("", buf);
    strcpy(buf, "junk");
    EXPECT_EQ(-1, FormatMacListFrom({{}, {}}, buf, sizeof(buf)));
    EXPECT_STREQ("", buf);

    // A list that does not fit keeps whole addresses only.
    char small[30];
    EXPECT_EQ(17, FormatMacListFrom({kFirst, kSecond}, small, sizeof(small)));
    EXPECT_STREQ("00:1A:2B:3C:4D:5E", small);
}

TEST(DeviceId, MacListDashAndProcessorWordsAndNeverOverruns) {
    char id[kDeviceIdBytes];
    ComposeDeviceId(kTwoMacs, kCpu, id, sizeof(id));
    EXPECT_EQ(std::string(kTwoMacs) + kCpuPart, id);

    // No adapter: the id begins with the dash.
    ComposeDeviceId("", kCpu, id, sizeof(id));
    EXPECT_STREQ(kCpuPart, id);

    // Many adapters: cut at a whole address so the processor part survives.
    std::vector<std::vector<unsigned char>> many(30, kFirst);
    char longList[1024];
    ASSERT_GT(FormatMacListFrom(many, longList, sizeof(longList)), 259);
    ComposeDeviceId(longList, kCpu, id, sizeof(id));
    std::string s = id;
    EXPECT_LE(s.size(), 259u);
    ASSERT_GT(s.size(), strlen(kCpuPart));
    EXPECT_EQ(kCpuPart, s.substr(s.size() - strlen(kCpuPart)));
    EXPECT_EQ('E', s[s.size() - strlen(kCpuPart) - 1]) << "cut inside an address: " << s;
}

TEST(DeviceId, OfThisMachineIsStableAndStartsWithItsMacList) {
    char mac[kDeviceIdBytes];
    int n = FormatMacList(mac, sizeof(mac));
    std::string first = MakeDeviceId(), second = MakeDeviceId();
    printf("[ info ] MAC list (%d): \"%s\"\n[ info ] device id: %s\n", n, mac, first.c_str());
    EXPECT_EQ(first, second);
    EXPECT_EQ(n < 0 ? 0u : (size_t)n, strlen(mac));
    ASSERT_EQ(strlen(mac) + 33, first.size());
    EXPECT_EQ(std::string(mac) + "-", first.substr(0, strlen(mac) + 1));
    for (char c : first.substr(strlen(mac) + 1)) EXPECT_TRUE(isdigit((unsigned char)c) || (c >= 'A' && c <= 'F')) << first;
}

TEST(UnixTime, AgreesWithTheCRuntimeClock) {
    unsigned long long mine = UnixTimeNow();
    long long crt = (long long)_time64(nullptr);
    EXPECT_LE(llabs((long long)mine - crt), 2) << mine << " vs " << crt;
}

TEST(StartAddress, QueryKeysInOrderWithEveryValueEncoded) {
    wchar_t url[kStartUrlUnits];
    ComposeStartUrl(url, kStartUrlUnits, L"http://game.vm.test/wd3/index.html", L"2018-10-24 12:00:00&x=1#f", 77,
                    5, 12, kTwoMacs);
    std::wstring w = url;
    EXPECT_EQ(0u, w.find(L"http://game.vm.test/wd3/index.html?installtime="));
    // Neither the MAC list's separators nor an install time may start a fragment or a field.
    EXPECT_EQ(std::wstring::npos, w.find(L'#')) << Narrow(w);
    Fields f = Query(url);
    EXPECT_EQ((std::vector<std::string>{"installtime", "agent_id", "cplaceid", "runcount", "mac", "Version",
                                        "UIVersion"}),
              Keys(f))
        << Narrow(w);
    EXPECT_EQ("2018-10-24 12:00:00&x=1#f", Value(f, "installtime"));
    EXPECT_EQ("77", Value(f, "agent_id"));
    EXPECT_EQ("5", Value(f, "cplaceid"));
    EXPECT_EQ("12", Value(f, "runcount"));
    EXPECT_EQ(kTwoMacs, Value(f, "mac"));
    EXPECT_EQ("chrome:20181024", Value(f, "Version"));
    EXPECT_EQ("brenmoor", Value(f, "UIVersion"));
    EXPECT_NE(std::wstring::npos, w.find(L"&mac=00%3A1A%3A2B%3A3C%3A4D%3A5E%2302%3A00%3A00%3AAA%3ABB%3ACC&"));
}

TEST(StartAddress, EmptyValuesLongMacListAndNonAsciiInstallTime) {
    wchar_t url[kStartUrlUnits];
    ComposeStartUrl(url, kStartUrlUnits, L"http://g/wd3/index.html", L"", 0, 0, 0, "");
    EXPECT_STREQ(L"http://g/wd3/index.html?installtime=&agent_id=0&cplaceid=0&runcount=0&mac=&Version="
                 L"chrome%3A20181024&UIVersion=brenmoor",
                 url);

    // Four adapters: only what fits in 63 units, in whole addresses, goes along.
    char four[260];
    FormatMacListFrom({kFirst, kSecond, kFirst, kSecond}, four, sizeof(four));
    ComposeStartUrl(url, kStartUrlUnits, L"http://g/", L"", 0, 0, 0, four);
    EXPECT_EQ(std::string(kTwoMacs) + "#00:1A:2B:3C:4D:5E", Value(Query(url), "mac"));

    // Text outside ASCII goes in as UTF-8 bytes, encoded.
    ComposeStartUrl(url, kStartUrlUnits, L"http://g/", L"2018年", 0, 0, 0, "");
    EXPECT_NE(std::wstring::npos, std::wstring(url).find(L"installtime=2018%E5%B9%B4&"));

    // An address longer than the buffer is cut, never inside an escape.
    std::wstring longPage = L"http://g/" + std::wstring(470, L'p');
    ComposeStartUrl(url, kStartUrlUnits, longPage.c_str(), L"", 1, 2, 3, kTwoMacs);
    std::string cut = Narrow(url);
    EXPECT_LE(cut.size(), 511u);
    EXPECT_GE(cut.size(), 509u);
    EXPECT_FALSE(EndsInPartialEscape(cut)) << cut;
}

TEST(ReportBody, InstallFieldsInOrderWithTheDeviceIdEncoded) {
    char body[kStatsBodyBytes];
    std::string id = std::string(kTwoMacs) + kCpuPart;
    ComposeInstallBody(body, sizeof(body), 1540000000ULL, id.c_str(), 77, -5);
    EXPECT_EQ("game_id=1530&action=install&install_time=1540000000&uuid=00%3A1A%3A2B%3A3C%3A4D%3A5E%2302%3A00%3A00%3AAA%"
              "3ABB%3ACC-49656E690000000DBFEBFBFF7FFAFBBF&agent_id=77&site_id=-5",
              std::string(body));
    Fields f = ParseForm(body);
    EXPECT_EQ((std::vector<std::string>{"game_id", "action", "install_time", "uuid", "agent_id", "site_id"}), Keys(f));
    EXPECT_EQ(id, Value(f, "uuid"));
}

TEST(ReportBody, CloseBodyKeepsAUserNameWithSeparatorsInOneField) {
    char body[kStatsBodyBytes];
    const char* id = kCpuPart;  // no adapter
    ComposeCloseBody(body, sizeof(body), 1540000001ULL, id, 1, 2, "a&b=c#d e+f%");
    std::string s = body;
    EXPECT_EQ("game_id=1530&action=close&logout_time=1540000001&uuid=-49656E690000000DBFEBFBFF7FFAFBBF&agent_id=1&"
              "site_id=2&user_name=a%26b%3Dc%23d+e%2Bf%25",
              s);
    Fields f = ParseForm(s);
    EXPECT_EQ((std::vector<std::string>{"game_id", "action", "logout_time", "uuid", "agent_id", "site_id",
                                        "user_name"}),
              Keys(f));
    EXPECT_EQ("a&b=c#d e+f%", Value(f, "user_name"));
    EXPECT_EQ(kCpuPart, Value(f, "uuid"));

    // No name reported: the body ends with an empty field.
    ComposeCloseBody(body, sizeof(body), 1, id, 0, 0, "");
    s = body;
    EXPECT_EQ("&user_name=", s.substr(s.size() - 11));
}

TEST(ReportBody, NonAsciiNameIsEncodedAsItsAnsiBytes) {
    // What SetUserName stores for a Chinese name depends on the ANSI code page:
    // the bytes WideCharToMultiByte yields are what must reach the server.
    const std::wstring name = L"\x73A9\x5BB6\x00E9";  // 玩家é
    std::string bytes = Ansi(name);
    UINT acp = GetACP();
    printf("[ info ] ANSI code page %u; name bytes:", acp);
    for (unsigned char c : bytes) printf(" %02X", c);
    printf("\n");
    char body[kStatsBodyBytes];
    ComposeCloseBody(body, sizeof(body), 1, "-0", 0, 0, bytes.c_str());
    std::string s = body;
    std::string field = s.substr(s.find("&user_name=") + 11);
    if (acp == 1252) {
        EXPECT_EQ("%3F%3F%E9", field);  // no Chinese in 1252: "?" each, é as E9
    } else if (acp == 936) {
        EXPECT_EQ("%CD%E6%BC%D2%A8%A6", field);
    } else if (acp == 65001) {
        EXPECT_EQ("%E7%8E%A9%E5%AE%B6%C3%A9", field);
    }
    // Whatever the code page: every byte outside letters and digits is escaped,
    // and decoding gives back exactly the ANSI bytes.
    for (char c : field) EXPECT_TRUE(isalnum((unsigned char)c) || c == '%' || c == '*' || c == '-' || c == '.' || c == '_');
    EXPECT_EQ(bytes, Value(ParseForm(s), "user_name"));
}

TEST(ReportBody, OverlongBodyIsCutWithinItsBufferAndNeverInsideAnEscape) {
    char mac[1024];
    FormatMacListFrom(std::vector<std::vector<unsigned char>>(30, kFirst), mac, sizeof(mac));
    char id[kDeviceIdBytes];
    ComposeDeviceId(mac, kCpu, id, sizeof(id));
    std::string name(63, '&');
    for (int pad = 0; pad < 3; ++pad) {
        char body[kStatsBodyBytes + 8];
        memset(body, 'Z', sizeof(body));
        ComposeCloseBody(body, kStatsBodyBytes, 1, id, pad, pad, name.c_str());
        std::string s = body;
        EXPECT_LE(s.size(), kStatsBodyBytes - 1);
        EXPECT_EQ('Z', body[kStatsBodyBytes]) << "wrote past the buffer";
        EXPECT_FALSE(EndsInPartialEscape(s)) << s;
    }
}

TEST(Post, OneRequestWithTheFixedHeadersAndTheBodyAsSent) {
    RecordingServer server;
    ASSERT_TRUE(server.Start());
    char body[kStatsBodyBytes] = {0};
    std::string sent = "game_id=1530&action=close&logout_time=1&uuid=-0&agent_id=0&site_id=0&user_name=a%26b";
    strcpy(body, sent.c_str());
    int read = PostStatisticsTo(server.address().c_str(), body);
    EXPECT_EQ(2, read);
    EXPECT_STREQ("ok", body) << "the buffer takes the reply";
    for (size_t i = 2; i < kStatsBodyBytes; ++i) ASSERT_EQ(0, body[i]) << "buffer not cleared at " << i;

    std::vector<RecordedRequest> got = server.Requests();
    ASSERT_EQ(1u, got.size());
    const RecordedRequest& r = got[0];
    EXPECT_EQ("POST", r.method);
    EXPECT_EQ("/", r.target);
    EXPECT_EQ(std::vector<std::string>{"PostData"}, r.Values("user-agent"));
    std::vector<std::string> types = r.Values("content-type");
    ASSERT_FALSE(types.empty());
    for (auto& t : types) EXPECT_EQ("application/x-www-form-urlencoded", t);
    EXPECT_EQ(std::vector<std::string>{"*/*"}, r.Values("accept"));
    EXPECT_EQ(sent, r.body);
    printf("[ info ] request headers:");
    for (auto& h : r.headers) printf(" [%s: %s]", h.first.c_str(), h.second.c_str());
    printf("\n");
}

TEST(Post, ServerThatNeverAnswersIsGivenUpWithinTheBound) {
    RecordingServer server(RecordingServer::kSilent);
    ASSERT_TRUE(server.Start());
    char body[kStatsBodyBytes] = "game_id=1530&action=install";
    DWORD start = GetTickCount();
    int read = PostStatisticsTo(server.address().c_str(), body);
    DWORD elapsed = GetTickCount() - start;
    printf("[ info ] silent server: PostStatistics returned after %lu ms (bound %lu ms per phase)\n", elapsed,
           kStatsTimeoutMs);
    EXPECT_EQ(0, read);
    EXPECT_EQ(1u, server.Requests().size()) << "the request itself must have arrived";
    EXPECT_LT(elapsed, kStatsTimeoutMs + 1500);
}

TEST(Post, UnreachablePortFailsQuietlyWithinASecond) {
    // A port that was free a moment ago, with nobody listening.
    unsigned short port = 0;
    {
        RecordingServer probe;
        ASSERT_TRUE(probe.Start());
        port = probe.port();
    }
    char body[kStatsBodyBytes] = "game_id=1530&action=close";
    DWORD start = GetTickCount();
    int read = PostStatisticsTo(("127.0.0.1:" + std::to_string(port)).c_str(), body);
    DWORD elapsed = GetTickCount() - start;
    printf("[ info ] refused port: PostStatistics returned after %lu ms\n", elapsed);
    EXPECT_EQ(0, read);
    EXPECT_LT(elapsed, 1000u);
}

TEST(Post, ConnectionThatIsNeverAcceptedIsGivenUpWithinTheBound) {
    // A listener that never accepts, with its queue filled by connections of
    // our own: further connection attempts stay pending, as with a host that
    // drops them, so only the connect bound can end the report.
    RecordingServer keepWinsock;  // starts Winsock for the raw sockets below
    ASSERT_TRUE(keepWinsock.Start());
    int port = 0;
    SOCKET listener = testutil::ListenOnLoopback(1, &port);
    ASSERT_NE(INVALID_SOCKET, listener);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((unsigned short)port);
    std::vector<SOCKET> fillers;
    bool pending = false;
    for (int i = 0; i < 16 && !pending; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        connect(s, (sockaddr*)&addr, sizeof(addr));
        fillers.push_back(s);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval tv = {0, 300000};
        pending = select(0, nullptr, &writable, nullptr, &tv) == 0;
    }
    if (pending) {
        char body[kStatsBodyBytes] = "game_id=1530&action=install";
        DWORD start = GetTickCount();
        int read = PostStatisticsTo(("127.0.0.1:" + std::to_string(ntohs(addr.sin_port))).c_str(), body);
        DWORD elapsed = GetTickCount() - start;
        printf("[ info ] connection never accepted: PostStatistics returned after %lu ms (caller bound %lu ms)\n",
               elapsed, kStatsWaitMs);
        EXPECT_EQ(0, read);
        EXPECT_STREQ("", body);
        EXPECT_LT(elapsed, kStatsWaitMs + 1000);

        // The report left behind does not get in the way of the next one.
        RecordingServer server;
        ASSERT_TRUE(server.Start());
        strcpy(body, "game_id=1530&action=close");
        EXPECT_EQ(2, PostStatisticsTo(server.address().c_str(), body));
        EXPECT_EQ(1u, server.Requests().size());
    }
    for (SOCKET s : fillers) closesocket(s);
    closesocket(listener);
    if (!pending)
        GTEST_SKIP() << "\n*** SKIPPED: this system accepted every connection into the queue, so a pending "
                        "connect could not be made here ***\n";
}
