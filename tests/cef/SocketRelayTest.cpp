// The socket relay: its WebSocket server side and Flash Player's socket policies
// as pure functions, then the relay itself between a WebSocket client played by
// the test and TCP servers of the test's own, on loopback.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "src/flash/relay_protocol.h"
#include "src/flash/socket_relay.h"

using namespace cef_internal;

namespace {

// A client frame: masked with `mask`.
std::string ClientFrame(int opcode, const std::string& payload, bool fin = true, uint32_t mask = 0x37FA213D,
                        bool masked = true) {
    std::string f;
    f += (char)((fin ? 0x80 : 0) | opcode);
    size_t n = payload.size();
    char maskBit = masked ? (char)0x80 : 0;
    if (n < 126) {
        f += (char)(maskBit | n);
    } else if (n < 65536) {
        f += (char)(maskBit | 126);
        f += (char)(n >> 8);
        f += (char)(n & 0xFF);
    } else {
        f += (char)(maskBit | 127);
        for (int i = 7; i >= 0; --i) f += (char)(((uint64_t)n >> (8 * i)) & 0xFF);
    }
    unsigned char key[4] = {(unsigned char)(mask >> 24), (unsigned char)(mask >> 16), (unsigned char)(mask >> 8),
                            (unsigned char)mask};
    if (masked) f.append((const char*)key, 4);
    for (size_t i = 0; i < n; ++i) f += (char)(payload[i] ^ (masked ? key[i & 3] : 0));
    return f;
}

struct Fed {
    std::vector<WebSocketReader::Status> statuses;  // every status but kNeedMore, in order
    std::vector<std::string> controls;
    std::string payload;
};

// Feeds `bytes` in pieces of `step` bytes, as they might come off a socket.
Fed FeedAll(const std::string& bytes, size_t step) {
    WebSocketReader reader;
    Fed fed;
    for (size_t at = 0; at < bytes.size(); at += step) {
        const char* data = bytes.data() + at;
        size_t size = std::min(step, bytes.size() - at);
        while (size > 0) {
            WebSocketReader::Status s = reader.Feed(&data, &size, &fed.payload);
            if (s == WebSocketReader::kNeedMore) break;
            fed.statuses.push_back(s);
            fed.controls.push_back(s == WebSocketReader::kClose ? std::to_string(reader.CloseCode())
                                                                : reader.ControlPayload());
            if (s == WebSocketReader::kClose || s == WebSocketReader::kFail) return fed;
        }
    }
    return fed;
}

const char kHead[] =
    "GET /tok3n/Game.Example.com/5555 HTTP/1.1\r\nHost: 127.0.0.1:9\r\nUpgrade: websocket\r\n"
    "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Origin: http://portal.example.com:8080\r\nSec-WebSocket-Version: 13\r\n\r\n";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

}  // namespace

TEST(RelayProtocol, UpgradeRequestsAreTakenOnlyWhenWholeAndUnderTheToken) {
    RelayRequest r = ParseRelayRequest(kHead, "tok3n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("game.example.com", r.host);
    EXPECT_EQ(5555, r.port);
    EXPECT_EQ("http://portal.example.com:8080", r.origin);
    EXPECT_EQ("dGhlIHNhbXBsZSBub25jZQ==", r.key);
    // The accept key of RFC 6455's own example.
    EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", WebSocketAccept(r.key));

    struct Case {
        std::string from, to;
        int status;
    } cases[] = {
        {"/tok3n/", "/tok3m/", 404},                 // another token
        {"/tok3n/", "/tok3n0/", 404},
        {"GET /tok3n", "GET /x/tok3n", 404},
        {"/5555 ", "/5555/x ", 404},                 // more than host and port
        {"/5555 ", "/0 ", 400},
        {"/5555 ", "/65536 ", 400},
        {"/5555 ", "/-1 ", 400},
        {"Game.Example.com", "a..b", 400},
        {"Game.Example.com", "a%2Fb", 400},
        {"Game.Example.com", "[::1]", 400},
        {"GET ", "POST ", 405},
        {"Upgrade: websocket", "Upgrade: h2c", 400},
        {"keep-alive, Upgrade", "keep-alive", 400},
        {"Version: 13", "Version: 8", 426},
        {"Origin: http://portal.example.com:8080\r\n", "", 403},
        {"Origin: http://portal.example.com:8080\r\n",
         "Origin: http://portal.example.com:8080\r\nOrigin: http://evil.example\r\n", 400},
        {"dGhlIHNhbXBsZSBub25jZQ==", "short", 400},
        {"HTTP/1.1", "HTTP/1.0", 400},
    };
    for (const Case& c : cases) {
        std::string head = Replace(kHead, c.from, c.to);
        EXPECT_EQ(c.status, ParseRelayRequest(head, "tok3n").status) << head;
    }
    EXPECT_EQ(404, ParseRelayRequest(kHead, "").status) << "no token, no relay";
    // What the server it shares hands over: everything under the token (the relay
    // refuses what is wrong with it), nothing else.
    EXPECT_TRUE(RequestUnderToken(kHead, "tok3n"));
    EXPECT_TRUE(RequestUnderToken(Replace(kHead, "GET ", "POST "), "tok3n"));
    for (const char* to : {"/tok3m/", "/tok3n0/", "/x/tok3n/", "/tok3/", "/tok3n "})
        EXPECT_FALSE(RequestUnderToken(Replace(kHead, "/tok3n/", to), "tok3n")) << to;
    EXPECT_FALSE(RequestUnderToken(kHead, ""));
    EXPECT_FALSE(RequestUnderToken("GET /tok3n", "tok3n"));

    EXPECT_EQ("http://example.com", OriginOfUrl("HTTP://Example.COM:80/a/b?c#d"));
    EXPECT_EQ("https://example.com:8443", OriginOfUrl("https://user:pw@example.com:8443"));
    EXPECT_EQ("http://127.0.0.1:19365", OriginOfUrl("http://127.0.0.1:19365/wd3/play?server_id=3"));
    EXPECT_EQ("", OriginOfUrl("about:blank"));
    EXPECT_EQ("", OriginOfUrl("file:///C:/x.html"));
    EXPECT_EQ("127.0.0.1", HostOfOrigin("http://127.0.0.1:19365"));
    EXPECT_EQ("example.com", HostOfOrigin("https://Example.com"));
    EXPECT_EQ("", HostOfOrigin("null"));
}

TEST(RelayProtocol, FramesComeApartTheSameWhateverPiecesTheyArriveIn) {
    // A message in three fragments with a ping between them, a binary frame with a
    // 16-bit length and one with a 64-bit length, then a close with its code.
    std::string big(70000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = (char)(i * 7);
    std::string stream = ClientFrame(kWsText, "hel", false) + ClientFrame(kWsContinuation, "lo ", false, 0x01020304) +
                         ClientFrame(kWsPing, "are you there") + ClientFrame(kWsContinuation, "world", true, 0) +
                         ClientFrame(kWsBinary, std::string(300, 'x')) + ClientFrame(kWsPong, "unasked") +
                         ClientFrame(kWsBinary, "") + ClientFrame(kWsBinary, big, true, 0xDEADBEEF) +
                         ClientFrame(kWsClose, std::string("\x03\xe8", 2) + "bye");
    for (size_t step : {(size_t)1, (size_t)2, (size_t)3, (size_t)7, (size_t)4096, stream.size()}) {
        Fed fed = FeedAll(stream, step);
        ASSERT_EQ(2u, fed.statuses.size()) << "step " << step;
        EXPECT_EQ(WebSocketReader::kPing, fed.statuses[0]);
        EXPECT_EQ("are you there", fed.controls[0]);
        EXPECT_EQ(WebSocketReader::kClose, fed.statuses[1]);
        EXPECT_EQ("1000", fed.controls[1]);
        EXPECT_EQ("hello world" + std::string(300, 'x') + big, fed.payload) << "step " << step;
    }
    EXPECT_EQ("1005", FeedAll(ClientFrame(kWsClose, ""), 1).controls[0]) << "a close without a code";
}

TEST(RelayProtocol, FramesThatBreakTheProtocolEndTheConnection) {
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"unmasked", ClientFrame(kWsBinary, "abc", true, 0, false)},
        {"reserved bit", std::string(1, (char)0xC2) + ClientFrame(kWsBinary, "abc").substr(1)},
        {"unknown opcode", ClientFrame(3, "abc")},
        {"control frame over 125 bytes", ClientFrame(kWsPing, std::string(126, 'p'))},
        {"fragmented control frame", ClientFrame(kWsPing, "p", false)},
        {"continuation without a start", ClientFrame(kWsContinuation, "abc")},
        {"new message inside a fragmented one", ClientFrame(kWsText, "a", false) + ClientFrame(kWsBinary, "b")},
        {"close with a one-byte body", ClientFrame(kWsClose, "x")},
        {"64-bit length with its top bit", std::string("\x82\xff\x80\0\0\0\0\0\0\0\1\2\3\4", 14)},
    };
    for (const Case& c : cases) {
        Fed fed = FeedAll(c.bytes, 1);
        ASSERT_FALSE(fed.statuses.empty()) << c.what;
        EXPECT_EQ(WebSocketReader::kFail, fed.statuses.back()) << c.what;
    }
    // Server frames: unmasked, with the shortest length that fits.
    EXPECT_EQ(std::string("\x82\x05", 2), WebSocketFrameHead(kWsBinary, 5));
    EXPECT_EQ(std::string("\x82\x7e\x01\x00", 4), WebSocketFrameHead(kWsBinary, 256));
    EXPECT_EQ(std::string("\x82\x7f\0\0\0\0\0\x01\0\0", 10), WebSocketFrameHead(kWsBinary, 65536));
    EXPECT_EQ(std::string("\x88\x02\x03\xf3", 4), WebSocketCloseFrame(1011));
}

TEST(RelayProtocol, PoliciesAdmitOnlyTheDomainsAndPortsTheyName) {
    SocketPolicy p = ParseSocketPolicy(
        "<?xml version=\"1.0\"?>\n<!DOCTYPE cross-domain-policy SYSTEM \"/xml/dtds/cross-domain-policy.dtd\">\n"
        "<cross-domain-policy>\n"
        "  <site-control permitted-cross-domain-policies='master-only'/>\n"
        "  <allow-access-from domain=\"*.Example.com\" to-ports=\"507,516-523, 9000\"/>\n"
        "  <!-- <allow-access-from domain=\"*\" to-ports=\"*\"/> -->\n"
        "  <allow-access-from domain='10.0.0.7' to-ports='*'/>\n"
        "  <allow-access-from domain=\"nowhere.example\"/>\n"
        "  <allow-access-from to-ports=\"1-65535\"/>\n"
        "</cross-domain-policy>");
    ASSERT_TRUE(p.found);
    EXPECT_EQ("master-only", p.siteControl);
    ASSERT_EQ(2u, p.rules.size()) << "rules without a domain or without ports admit nothing";
    EXPECT_TRUE(PolicyAdmits(p, "www.example.com", 507));
    EXPECT_TRUE(PolicyAdmits(p, "example.com", 520));
    EXPECT_TRUE(PolicyAdmits(p, "A.B.EXAMPLE.COM", 9000));
    EXPECT_FALSE(PolicyAdmits(p, "www.example.com", 524));
    EXPECT_FALSE(PolicyAdmits(p, "www.example.com", 843));
    EXPECT_FALSE(PolicyAdmits(p, "badexample.com", 507));
    EXPECT_FALSE(PolicyAdmits(p, "example.com.evil.net", 507));
    EXPECT_TRUE(PolicyAdmits(p, "10.0.0.7", 22));
    EXPECT_FALSE(PolicyAdmits(p, "10.0.0.70", 22));
    EXPECT_FALSE(PolicyAdmits(p, "127.0.0.1", 507)) << "the commented-out rule";

    EXPECT_TRUE(PolicyDomainMatches("*", "anything.at.all"));
    EXPECT_FALSE(PolicyDomainMatches("*.*.com", "a.b.com"));
    EXPECT_FALSE(PolicyDomainMatches("www.*.com", "www.a.com"));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 65535}, {80, 80}, {1000, 2000}}),
              ParsePolicyPorts(" * ,80, 1000 - 2000,2000-1000,0,70000,abc,,"));

    for (const char* none : {"", "HTTP/1.1 400 Bad Request\r\n\r\n", "<cross-domain-policy><allow-access-from",
                             "<html><body>no</body></html>"})
        EXPECT_FALSE(ParseSocketPolicy(none).found) << none;
    EXPECT_TRUE(ParseSocketPolicy("<cross-domain-policy/>").found);

    // Master policy first; the port's own only where the master lets it count.
    SocketPolicy all = ParseSocketPolicy("<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"5000\"/>"
                                         "</cross-domain-policy>");
    EXPECT_EQ(PolicyStep::kAllowed, MasterPolicyDecides(all, "a.example", 5000));
    EXPECT_EQ(PolicyStep::kAskPort, MasterPolicyDecides(all, "a.example", 5001));
    EXPECT_EQ(PolicyStep::kAskPort, MasterPolicyDecides(SocketPolicy(), "a.example", 5000));
    EXPECT_EQ(PolicyStep::kRefused, MasterPolicyDecides(p, "a.example", 5000));
    SocketPolicy none = ParseSocketPolicy("<cross-domain-policy><site-control permitted-cross-domain-policies="
                                          "\"none\"/><allow-access-from domain=\"*\" to-ports=\"*\"/>"
                                          "</cross-domain-policy>");
    EXPECT_EQ(PolicyStep::kRefused, MasterPolicyDecides(none, "a.example", 5000));
}

// ---- the relay between real sockets --------------------------------------------------------

namespace {

class Winsock {
public:
    Winsock() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    ~Winsock() { WSACleanup(); }
};

SOCKET Listen(int* port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    bind(s, (sockaddr*)&addr, sizeof(addr));
    listen(s, 64);
    getsockname(s, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    return s;
}

// A loopback port nobody listens on: connections to it are refused at once.
int ClosedPort() {
    int port = 0;
    closesocket(Listen(&port));
    return port;
}

void SetTimeout(SOCKET s, DWORD ms) {
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&ms, sizeof(ms));
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&ms, sizeof(ms));
}

bool SendAll(SOCKET s, const std::string& data) {
    size_t at = 0;
    while (at < data.size()) {
        int n = send(s, data.data() + at, (int)std::min<size_t>(data.size() - at, 1 << 20), 0);
        if (n <= 0) return false;
        at += (size_t)n;
    }
    return true;
}

// A TCP server of the test: answers policy requests with `policy` (nothing at all
// when it is empty: it keeps silent), and on other connections either echoes what
// comes or, with `flood` bytes to send, sends them and closes.
class Target {
public:
    Target(const std::string& policy, size_t flood = 0) : policy_(policy), flood_(flood) {
        ended_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        listener_ = Listen(&port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~Target() {
        stopping_ = true;
        closesocket(listener_);
        thread_.join();
        for (auto& t : served_) t.join();
        CloseHandle(ended_);
    }
    // Waits for a session to end (the page's side closed, through the relay).
    bool WaitEnd() { return WaitForSingleObject(ended_, 5000) == WAIT_OBJECT_0; }
    int Port() const { return port_; }
    int PolicyRequests() const { return policyRequests_; }
    int Sessions() const { return sessions_; }
    std::string Received() {
        std::lock_guard<std::mutex> guard(lock_);
        return received_;
    }
    bool SawEnd() const { return sawEnd_; }

private:
    void Run() {
        for (;;) {
            SOCKET s = accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            served_.emplace_back([this, s] { Serve(s); });
        }
    }
    void Serve(SOCKET s) {
        SetTimeout(s, 10000);
        char buf[4096];
        int n = recv(s, buf, sizeof(buf), 0);
        if (n > 0 && n >= (int)kPolicyRequestSize && memcmp(buf, kPolicyRequest, kPolicyRequestSize) == 0) {
            ++policyRequests_;
            if (!policy_.empty()) SendAll(s, policy_ + std::string(1, '\0'));
            else recv(s, buf, sizeof(buf), 0);  // silent until the asker gives up
            closesocket(s);
            return;
        }
        ++sessions_;
        if (flood_) {
            std::string chunk(64 * 1024, 'f');
            for (size_t sent = 0; sent < flood_ && !stopping_; sent += chunk.size())
                if (!SendAll(s, chunk)) break;
            closesocket(s);
            return;
        }
        while (n > 0) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                received_.append(buf, (size_t)n);
            }
            if (!SendAll(s, std::string(buf, (size_t)n))) break;
            n = recv(s, buf, sizeof(buf), 0);
        }
        sawEnd_ = n == 0;
        closesocket(s);
        SetEvent(ended_);
    }

    std::string policy_;
    size_t flood_;
    SOCKET listener_;
    int port_ = 0;
    std::thread thread_;
    std::vector<std::thread> served_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> policyRequests_{0};
    std::atomic<int> sessions_{0};
    std::atomic<bool> sawEnd_{false};
    std::mutex lock_;  // guards received_, written by the session threads
    std::string received_;
    HANDLE ended_;
};

std::string PolicyFor(const std::string& domain, const std::string& ports) {
    return "<cross-domain-policy><allow-access-from domain=\"" + domain + "\" to-ports=\"" + ports +
           "\"/></cross-domain-policy>";
}

// The page's side: a WebSocket client as the engine is one.
class Page {
public:
    // Connects and asks for `path` (`early` sent along with the request); the
    // relay's answer's status line is in Answer().
    Page(int relayPort, const std::string& path, const std::string& origin = "http://portal.test:8000",
         const std::string& early = "") {
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        SetTimeout(s_, 15000);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons((u_short)relayPort);
        if (connect(s_, (sockaddr*)&addr, sizeof(addr)) != 0) return;
        SendAll(s_, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                    "Origin: " + origin + "\r\n\r\n" + early);
        char c;
        while (answer_.find("\r\n\r\n") == std::string::npos && recv(s_, &c, 1, 0) == 1) answer_ += c;
    }
    ~Page() { closesocket(s_); }
    std::string Status() const { return answer_.substr(0, answer_.find("\r\n")); }
    bool Open() const { return Status() == "HTTP/1.1 101 Switching Protocols"; }
    bool Send(const std::string& frame) { return SendAll(s_, frame); }
    // One server frame: its opcode and payload; false when the connection ended first.
    bool Read(int* opcode, std::string* payload) {
        unsigned char h[2];
        if (!ReadExactly((char*)h, 2)) return false;
        if (h[1] & 0x80) return false;  // a server never masks
        uint64_t len = h[1] & 0x7F;
        if (len >= 126) {
            unsigned char ext[8];
            int bytes = len == 126 ? 2 : 8;
            if (!ReadExactly((char*)ext, bytes)) return false;
            len = 0;
            for (int i = 0; i < bytes; ++i) len = (len << 8) | ext[i];
        }
        *opcode = h[0] & 0x0F;
        payload->assign((size_t)len, '\0');
        return len == 0 || ReadExactly(&(*payload)[0], (size_t)len);
    }
    // Data frames' payloads until `size` bytes came or a close (its code in *closeCode).
    std::string ReadData(size_t size, int* closeCode = nullptr) {
        std::string all, payload;
        int opcode = 0;
        while (all.size() < size && Read(&opcode, &payload)) {
            if (opcode == kWsClose) {
                if (closeCode) *closeCode = payload.size() >= 2 ? ((unsigned char)payload[0] << 8) | (unsigned char)payload[1] : 1005;
                break;
            }
            if (opcode == kWsBinary) all += payload;
        }
        return all;
    }
    bool Ended() {
        char c;
        return recv(s_, &c, 1, 0) <= 0;
    }

private:
    bool ReadExactly(char* out, size_t size) {
        while (size > 0) {
            int n = recv(s_, out, (int)size, 0);
            if (n <= 0) return false;
            out += n;
            size -= (size_t)n;
        }
        return true;
    }
    SOCKET s_ = INVALID_SOCKET;
    std::string answer_;
};

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        limits.policyPort = ClosedPort();  // no master policy: each target's own counts
        limits.policyDeadlineMs = 1000;
    }
    // The relay on a bounded server, as the file server carries it: other requests
    // are answered there.
    void Start() {
        relay.reset(new SocketRelay("s3cret", limits));
        ASSERT_TRUE(relay->Start());
        relay->AllowOrigin("http://portal.test:8000/wd3/play?server_id=3");
        server.reset(new BoundedServer(serverLimits, [this](const std::string& head, BoundedServer::Reply* r) {
            if (relay->Claim(head, r)) return true;
            r->head = "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\n";
            r->body = "file";
            return true;
        }));
        ASSERT_TRUE(server->Start());
    }
    int Port() const { return server->Port(); }
    std::string Path(int port, const std::string& host = "127.0.0.1") {
        return "/s3cret/" + host + "/" + std::to_string(port);
    }
    Winsock winsock;
    SocketRelay::Limits limits;
    BoundedServer::Limits serverLimits;
    std::unique_ptr<SocketRelay> relay;
    std::unique_ptr<BoundedServer> server;  // ends before the relay
};

}  // namespace

TEST_F(RelayTest, BytesGoBothWaysAndTheCloseHandshakeEndsBothSides) {
    Start();
    Target target(PolicyFor("*.test", "1000-65535"));
    Page page(Port(), Path(target.Port()));
    ASSERT_TRUE(page.Open()) << page.Status();
    EXPECT_EQ(1, target.PolicyRequests());
    // A message in two fragments with a ping between them: the bytes arrive as they
    // were, the ping is answered, and what the server sends back comes as binary frames.
    ASSERT_TRUE(page.Send(ClientFrame(kWsBinary, "hello ", false) + ClientFrame(kWsPing, "p1") +
                          ClientFrame(kWsContinuation, "server\n")));
    int opcode = 0;
    std::string payload;
    ASSERT_TRUE(page.Read(&opcode, &payload));
    EXPECT_EQ(kWsPong, opcode);
    EXPECT_EQ("p1", payload);
    EXPECT_EQ("hello server\n", page.ReadData(13));
    // A second connection finds the policy in the cache.
    {
        Page again(Port(), Path(target.Port()));
        EXPECT_TRUE(again.Open());
        EXPECT_EQ(1, target.PolicyRequests());
    }
    // The page closes: the close is answered and the server sees its end.
    ASSERT_TRUE(page.Send(ClientFrame(kWsClose, std::string("\x03\xe8", 2))));
    int code = 0;
    EXPECT_EQ("", page.ReadData(1, &code));
    EXPECT_EQ(1000, code);
    EXPECT_TRUE(page.Ended());
    ASSERT_TRUE(target.WaitEnd());
    EXPECT_TRUE(target.SawEnd());
    EXPECT_EQ("hello server\n", target.Received().substr(0, 13));
}

TEST_F(RelayTest, TargetsThatPublishNoAdmittingPolicyAreNeverConnected) {
    limits.policyDeadlineMs = 500;
    Start();
    Target silent("");                                             // a plain TCP server: no answer
    Target otherDomain(PolicyFor("*.elsewhere.net", "*"));
    Target otherPorts(PolicyFor("*", "80,443"));
    Target garbage("HTTP/1.1 400 Bad Request");
    for (Target* t : {&silent, &otherDomain, &otherPorts, &garbage}) {
        Page page(Port(), Path(t->Port()));
        EXPECT_EQ("HTTP/1.1 403 Forbidden", page.Status()) << t->Port();
        EXPECT_EQ(0, t->Sessions()) << "the relay connected past the policy";
        // Asked again, the answer comes from the cache.
        Page again(Port(), Path(t->Port()));
        EXPECT_EQ("HTTP/1.1 403 Forbidden", again.Status());
        EXPECT_EQ(1, t->PolicyRequests());
    }
    // A refused connection fails the handshake: nothing listens there.
    int closed = ClosedPort();
    Page nobody(Port(), Path(closed));
    EXPECT_EQ("HTTP/1.1 403 Forbidden", nobody.Status());
    // A wrong token, a foreign origin, and a page that names no origin.
    Target open(PolicyFor("*", "*"));
    EXPECT_EQ("HTTP/1.1 404 Not Found", Page(Port(), "/s3creT/127.0.0.1/" + std::to_string(open.Port())).Status());
    EXPECT_EQ("HTTP/1.1 403 Forbidden", Page(Port(), Path(open.Port()), "http://evil.example").Status());
    EXPECT_EQ("HTTP/1.1 403 Forbidden", Page(Port(), Path(open.Port()), "http://portal.test:8001").Status());
    EXPECT_EQ(0, open.PolicyRequests());
    EXPECT_EQ(0, open.Sessions());
    EXPECT_TRUE(Page(Port(), Path(open.Port())).Open());
}

TEST_F(RelayTest, ASenderFasterThanThePageIsHeldBackAndEveryByteArrives) {
    limits.buffer = 32 * 1024;
    Start();
    const size_t total = 8 * 1024 * 1024;
    Target flood(PolicyFor("*", "*"), total);
    Page page(Port(), Path(flood.Port()));
    ASSERT_TRUE(page.Open());
    ASSERT_TRUE(page.Send(ClientFrame(kWsBinary, "go")));
    // A window for the fault to show, not a wait for an outcome: the page reads
    // nothing meanwhile, and the relay must not take the flood in.
    Sleep(300);
    SocketRelay::Stats held = relay->GetStats();
    EXPECT_LE(held.peakBuffered, 2 * limits.buffer + 16 * 1024) << "the relay buffered what the page did not read";
    int code = 0;
    std::string got = page.ReadData(total + 1, &code);
    EXPECT_EQ(total, got.size());
    EXPECT_EQ(std::string::npos, got.find_first_not_of('f'));
    EXPECT_EQ(1000, code) << "the server's end closes the page's side";
    EXPECT_LE(relay->GetStats().peakBuffered, 2 * limits.buffer + 16 * 1024);
}

TEST_F(RelayTest, BothSidesEndTogetherAndLimitsRefuseTheRest) {
    limits.maxPerOrigin = 3;
    Start();
    Target echo(PolicyFor("*", "*"));
    // A protocol fault on the page's side ends the server's side with it.
    {
        Page page(Port(), Path(echo.Port()));
        ASSERT_TRUE(page.Open());
        ASSERT_TRUE(page.Send(ClientFrame(kWsBinary, "x", true, 0, false)));
        int code = 0;
        page.ReadData(1, &code);
        EXPECT_EQ(1002, code);
        EXPECT_TRUE(page.Ended());
        ASSERT_TRUE(echo.WaitEnd());
        EXPECT_TRUE(echo.SawEnd());
    }
    // Three at once from one origin, no more; the fourth is refused, and once one
    // closes there is room again.
    std::vector<std::unique_ptr<Page>> pages;
    for (int i = 0; i < 3; ++i) {
        pages.emplace_back(new Page(Port(), Path(echo.Port())));
        EXPECT_TRUE(pages.back()->Open()) << i;
    }
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable", Page(Port(), Path(echo.Port())).Status());
    // The relay ends the server's side in the same turn that lets the place go.
    pages.pop_back();
    ASSERT_TRUE(echo.WaitEnd());
    EXPECT_TRUE(Page(Port(), Path(echo.Port())).Open());
    // Stopping ends every connection at once.
    DWORD before = GetTickCount();
    relay->Stop();
    EXPECT_LT(GetTickCount() - before, 2000u);
    for (auto& p : pages) EXPECT_TRUE(p->Ended());
}

TEST_F(RelayTest, RelayedSocketsLeaveTheServersPlacesAndKeepWhatCameWithTheirHead) {
    serverLimits.maxConnections = 2;
    limits.maxConnections = 4;
    Start();
    Target echo(PolicyFor("*", "*"));
    // More sockets than the server has places, each with a frame sent right behind
    // its request: the frame reaches the target (the echo comes back).
    std::vector<std::unique_ptr<Page>> pages;
    for (int i = 0; i < 4; ++i) {
        std::string early = "early " + std::to_string(i);
        pages.emplace_back(new Page(Port(), Path(echo.Port()), "http://portal.test:8000", ClientFrame(kWsBinary, early)));
        ASSERT_TRUE(pages.back()->Open()) << i;
        EXPECT_EQ(early, pages.back()->ReadData(early.size()));
    }
    // The relay's own bound, not the server's, refuses the next; plain requests
    // are still answered beside them.
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable", Page(Port(), Path(echo.Port())).Status());
    EXPECT_EQ("HTTP/1.1 404 Not Found", Page(Port(), "/elsewhere/file").Status());
    BoundedServer::Stats stats = server->GetStats();
    EXPECT_EQ(5, stats.handedOver);
    EXPECT_LE(stats.peakOpen, 2);
    // A socket handed to a relay that has stopped is refused, not left open.
    relay->Stop();
    DWORD before = GetTickCount();
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable", Page(Port(), Path(echo.Port())).Status());
    EXPECT_LT(GetTickCount() - before, 2000u);
}
