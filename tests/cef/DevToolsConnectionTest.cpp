// The DevTools connection against a peer of the test's own that does what the
// engine would not: send messages of any size, or stop reading.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "CefTestSupport.h"
#include "common/Loopback.h"
#include "src/engine/devtools.h"

using namespace ceftest;
using cef_internal::DevToolsConnection;
using cef_internal::kMaxDevToolsMessage;

namespace {

// One WebSocket connection on 127.0.0.1: it answers the handshake, then runs the
// test's script on the socket and keeps the socket open until it is destroyed.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(SOCKET)> script) : script_(std::move(script)) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~ScriptedPeer() {
        SetEvent(release_);
        if (listener_ != INVALID_SOCKET) closesocket(listener_);  // ends an accept still waiting
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        CloseHandle(release_);
        WSACleanup();
    }
    bool Start() {
        listener_ = testutil::ListenOnLoopback(1, &port_);
        if (listener_ == INVALID_SOCKET) return false;
        thread_ = CreateThread(nullptr, 0, Main, this, 0, nullptr);
        return thread_ != nullptr;
    }
    int port() const { return port_; }

private:
    static DWORD WINAPI Main(LPVOID self) {
        ScriptedPeer* peer = static_cast<ScriptedPeer*>(self);
        SOCKET s = accept(peer->listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return 0;
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            int n = recv(s, buf, sizeof(buf), 0);
            if (n <= 0) break;
            request.append(buf, n);
        }
        const char answer[] = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
        send(s, answer, sizeof(answer) - 1, 0);
        peer->script_(s);
        WaitForSingleObject(peer->release_, INFINITE);
        closesocket(s);
        return 0;
    }

    std::function<void(SOCKET)> script_;
    SOCKET listener_ = INVALID_SOCKET;
    HANDLE thread_ = nullptr;
    HANDLE release_ = nullptr;
    int port_ = 0;
};

bool SendAll(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        int n = send(s, data, (int)std::min<size_t>(size, 1 << 20), 0);
        if (n <= 0) return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

// An unmasked frame as the engine sends it, whose payload is `head`, then `pad`
// spaces (streamed, never held whole), then `tail`.
bool SendFrame(SOCKET s, int opcode, bool fin, const std::string& head, size_t pad, const std::string& tail) {
    uint64_t len = head.size() + pad + tail.size();
    std::string header(1, (char)((fin ? 0x80 : 0) | opcode));
    header += (char)127;
    for (int i = 7; i >= 0; --i) header += (char)((len >> (8 * i)) & 0xFF);
    if (!SendAll(s, header.data(), header.size()) || !SendAll(s, head.data(), head.size())) return false;
    std::string spaces(1 << 20, ' ');
    while (pad > 0) {
        size_t n = std::min(pad, spaces.size());
        if (!SendAll(s, spaces.data(), n)) return false;
        pad -= n;
    }
    return SendAll(s, tail.data(), tail.size());
}

// An event message of exactly `size` bytes: {"method":"<name>","params":{}   }.
bool SendEvent(SOCKET s, const std::string& name, size_t size, int opcode = 0x1, bool fin = true) {
    std::string head = "{\"method\":\"" + name + "\",\"params\":{}";
    return SendFrame(s, opcode, fin, head, size - head.size() - 1, "}");
}

// Records the events a connection hears and whether it heard its close.
struct Listener {
    std::mutex lock;
    std::vector<std::string> events;
    bool closed = false;

    void Attach(DevToolsConnection& connection) {
        connection.SetEventHandler([this](const std::string& method, const nlohmann::json&, const std::string&) {
            std::lock_guard<std::mutex> g(lock);
            events.push_back(method);
            SetEvent(ActivityEvent());
        });
        connection.SetCloseHandler([this] {
            std::lock_guard<std::mutex> g(lock);
            closed = true;
            SetEvent(ActivityEvent());
        });
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> g(lock);
        return events;
    }
    bool Closed() {
        std::lock_guard<std::mutex> g(lock);
        return closed;
    }
};

TEST(DevToolsConnection, MessagesOverTheCapAreDroppedAndTheConnectionGoesOn) {
    ScriptedPeer peer([](SOCKET s) {
        // As large as a message may be: a screencast picture is far smaller still.
        SendEvent(s, "Test.fits", kMaxDevToolsMessage);
        SendEvent(s, "Test.tooLarge", kMaxDevToolsMessage + 1);
        // Pieces each within the cap, together over it.
        std::string head = "{\"method\":\"Test.tooLargeInPieces\",\"params\":{}";
        SendFrame(s, 0x1, false, head, kMaxDevToolsMessage / 2 - head.size(), "");
        SendFrame(s, 0x0, false, "", kMaxDevToolsMessage / 2, "");
        SendFrame(s, 0x0, true, "", 0, "}");
        SendEvent(s, "Test.after", 64);
    });
    ASSERT_TRUE(peer.Start());
    Listener listener;
    DevToolsConnection connection;
    listener.Attach(connection);
    ASSERT_TRUE(connection.Connect(peer.port(), "/devtools/browser/test", 5000));
    EXPECT_TRUE(WaitUntil([&] { return listener.Events().size() >= 2; }, 60000));
    PumpFor(200);
    EXPECT_EQ(listener.Events(), (std::vector<std::string>{"Test.fits", "Test.after"}));
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_FALSE(listener.Closed());
}

TEST(DevToolsConnection, ASendStalledHalfwayThroughAFrameEndsTheConnection) {
    // A peer that never reads: the frame cannot go out whole.
    ScriptedPeer peer([](SOCKET) {});
    ASSERT_TRUE(peer.Start());
    Listener listener;
    DevToolsConnection connection;
    listener.Attach(connection);
    ASSERT_TRUE(connection.Connect(peer.port(), "/devtools/browser/test", 5000));
    std::atomic<bool> answered{false}, answerOk{true};
    int waiting = connection.SendAsync("Test.waits", nlohmann::json::object(), [&](bool ok, const nlohmann::json&) {
        answered = true;
        answerOk = ok;
    });
    ASSERT_NE(waiting, 0);

    EXPECT_EQ(connection.Send("Test.large", {{"pad", std::string(24u << 20, 'x')}}), 0);
    // Anything sent after the broken frame would be read as part of it: the
    // connection is over, and says so, instead of staying open.
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_TRUE(WaitUntil([&] { return listener.Closed(); }, 5000));
    EXPECT_TRUE(answered);
    EXPECT_FALSE(answerOk);
    DWORD t0 = GetTickCount();
    EXPECT_FALSE(connection.Call("Test.after", nlohmann::json::object(), nullptr, "", 5000));
    EXPECT_LT(GetTickCount() - t0, 1000u);
}

}  // namespace
