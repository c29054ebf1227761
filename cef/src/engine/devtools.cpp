// The DevTools connection: the handshake, commands and their answers, and the
// reader thread that hands out answers and events.
#include "src/engine/devtools_impl.h"

#include <ws2tcpip.h>
#include <wincrypt.h>
#include <algorithm>
#include <vector>
#include "base/MessageWait.h"

using nlohmann::json;

namespace cef_internal {
namespace {

std::string Base64Encode(const unsigned char* data, DWORD size) {
    DWORD chars = 0;
    if (!CryptBinaryToStringA(data, size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &chars))
        return std::string();
    std::string out(chars, '\0');
    if (!CryptBinaryToStringA(data, size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, &out[0], &chars))
        return std::string();
    out.resize(chars);
    while (!out.empty() && (out.back() == '\0' || out.back() == '\r' || out.back() == '\n')) out.pop_back();
    return out;
}

}  // namespace

void DevToolsConnection::Impl::FailAll() {
    std::map<int, std::shared_ptr<PendingCall>> calls;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        failed = true;
        calls.swap(pending);
    }
    for (auto& p : calls) {
        p.second->ok = false;
        if (p.second->done) SetEvent(p.second->done);
        if (p.second->onAnswer) p.second->onAnswer(false, json());
    }
}

void DevToolsConnection::Impl::Deliver(const char* text, size_t size) {
    try {
        HandleText(text, size);
    } catch (const std::exception&) {
        // No memory for this message, or a handler gave up on it: the message is
        // lost, the connection and the process are not.
    }
}

void DevToolsConnection::Impl::HandleText(const char* text, size_t size) {
    json msg = json::parse(text, text + size, nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) return;
    auto idIt = msg.find("id");
    if (idIt != msg.end() && idIt->is_number_integer()) {
        int id = idIt->get<int>();
        std::shared_ptr<PendingCall> call;
        {
            std::lock_guard<std::mutex> lock(stateLock);
            auto it = pending.find(id);
            if (it == pending.end()) return;
            call = it->second;
            pending.erase(it);
        }
        auto err = msg.find("error");
        if (err != msg.end()) {
            call->ok = false;
            call->result = std::move(*err);
        } else {
            call->ok = true;
            auto res = msg.find("result");
            if (res != msg.end()) call->result = std::move(*res);
        }
        if (call->done) SetEvent(call->done);
        if (call->onAnswer) call->onAnswer(call->ok, call->result);
        return;
    }
    auto methodIt = msg.find("method");
    if (methodIt == msg.end() || !methodIt->is_string()) return;
    std::string session = JsonString(msg, "sessionId");
    EventHandler handler;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        auto tap = session.empty() ? taps.end() : taps.find(session);
        handler = tap != taps.end() ? tap->second : onEvent;
    }
    if (!handler) return;
    static const json kEmpty = json::object();
    auto paramsIt = msg.find("params");
    handler(methodIt->get<std::string>(), paramsIt != msg.end() ? *paramsIt : kEmpty, session);
}

void DevToolsConnection::Impl::ReaderLoop() {
    std::vector<char> buf(256 * 1024);
    bool alive = Consume(nullptr, 0);  // bytes that followed the handshake
    HANDLE handles[2] = {stopEvent, sockEvent};
    while (alive) {
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 + 1) break;
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(sock, sockEvent, &events) == SOCKET_ERROR) break;
        // Drain what is there; FD_READ is signalled again only after a recv.
        for (;;) {
            int n = recv(sock, buf.data(), (int)buf.size(), 0);
            if (n > 0) {
                if (!Consume(buf.data(), (size_t)n)) {
                    alive = false;
                    break;
                }
                continue;
            }
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) alive = false;
            break;
        }
        if (events.lNetworkEvents & FD_CLOSE) alive = false;
    }
    open = false;
    FailAll();
    if (!closedByUs) {
        CloseHandler handler;
        {
            std::lock_guard<std::mutex> lock(stateLock);
            handler = onClose;
        }
        if (handler) handler();
    }
}

DWORD WINAPI DevToolsConnection::Impl::ReaderMain(LPVOID self) {
    static_cast<Impl*>(self)->ReaderLoop();
    return 0;
}

DevToolsConnection::DevToolsConnection() : impl_(new Impl()) {
    WSADATA data;
    impl_->wsaStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    impl_->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

DevToolsConnection::~DevToolsConnection() {
    Close();
    if (impl_->reader) {
        WaitForSingleObject(impl_->reader, INFINITE);
        CloseHandle(impl_->reader);
    }
    if (impl_->sock != INVALID_SOCKET) closesocket(impl_->sock);
    if (impl_->sockEvent != WSA_INVALID_EVENT) WSACloseEvent(impl_->sockEvent);
    if (impl_->stopEvent) CloseHandle(impl_->stopEvent);
    if (impl_->wsaStarted) WSACleanup();
    delete impl_;
}

bool DevToolsConnection::Connect(int port, const std::string& path, DWORD timeoutMs) {
    Impl& d = *impl_;
    if (d.sock != INVALID_SOCKET || !d.wsaStarted || !d.stopEvent || port <= 0 || port > 65535) return false;
    DWORD start = GetTickCount();
    auto remaining = [&]() -> DWORD {
        DWORD e = GetTickCount() - start;
        return e >= timeoutMs ? 0 : timeoutMs - e;
    };

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    BOOL nodelay = TRUE;  // small input commands must not wait for Nagle
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&nodelay, sizeof(nodelay));
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((u_short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto fail = [&]() {
        closesocket(s);
        return false;
    };
    if (connect(s, (sockaddr*)&addr, sizeof(addr)) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) return fail();
        fd_set wfds, efds;
        FD_ZERO(&wfds);
        FD_ZERO(&efds);
        FD_SET(s, &wfds);
        FD_SET(s, &efds);
        DWORD ms = remaining();
        timeval tv = {(long)(ms / 1000), (long)((ms % 1000) * 1000)};
        if (select(0, nullptr, &wfds, &efds, &tv) <= 0 || FD_ISSET(s, &efds)) return fail();
        int err = 0;
        int len = sizeof(err);
        getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&err, &len);
        if (err != 0) return fail();
    }

    unsigned char nonce[16];
    for (int i = 0; i < 16; i += 4) {
        uint32_t m = NextMask();
        memcpy(nonce + i, &m, 4);
    }
    std::string request = "GET " + (path.empty() || path[0] != '/' ? "/" + path : path) +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
                          Base64Encode(nonce, sizeof(nonce)) + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    d.sock = s;
    if (!d.SendAll(request.data(), request.size())) {
        d.sock = INVALID_SOCKET;
        return fail();
    }
    std::string response;
    char buf[4096];
    size_t headerEnd = std::string::npos;
    while (headerEnd == std::string::npos) {
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(s, &rfds);
        DWORD ms = remaining();
        timeval tv = {(long)(ms / 1000), (long)((ms % 1000) * 1000)};
        if (select(0, &rfds, nullptr, nullptr, &tv) <= 0) break;
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) break;
        response.append(buf, (size_t)n);
        headerEnd = response.find("\r\n\r\n");
        if (response.size() > 65536) break;
    }
    if (headerEnd == std::string::npos || response.compare(0, 12, "HTTP/1.1 101") != 0) {
        d.sock = INVALID_SOCKET;
        return fail();
    }
    d.inbuf = response.substr(headerEnd + 4);
    d.inpos = 0;

    d.sockEvent = WSACreateEvent();
    if (d.sockEvent == WSA_INVALID_EVENT || WSAEventSelect(s, d.sockEvent, FD_READ | FD_CLOSE) == SOCKET_ERROR) {
        d.sock = INVALID_SOCKET;
        return fail();
    }
    {
        std::lock_guard<std::mutex> lock(d.stateLock);
        d.failed = false;
    }
    d.open = true;
    d.closedByUs = false;
    DWORD tid = 0;
    d.reader = CreateThread(nullptr, 0, Impl::ReaderMain, &d, CREATE_SUSPENDED, &tid);
    if (!d.reader) {
        d.open = false;
        d.sock = INVALID_SOCKET;
        return fail();
    }
    d.readerId = tid;
    ResumeThread(d.reader);
    return true;
}

bool DevToolsConnection::Impl::SendText(const std::string& text) {
    if (!carried) return SendFrame(0x1, text.data(), text.size());
    std::lock_guard<std::mutex> lock(writeLock);
    return carrier && carrier->CarryMessage(text);
}

bool DevToolsConnection::Attach(MessageCarrier* carrier) {
    Impl& d = *impl_;
    if (!carrier || d.sock != INVALID_SOCKET || d.carried) return false;
    {
        std::lock_guard<std::mutex> lock(d.writeLock);
        d.carrier = carrier;
        d.carried = true;
    }
    d.readerId = carrier->CarrierThreadId();
    {
        std::lock_guard<std::mutex> lock(d.stateLock);
        d.failed = false;
    }
    d.closedByUs = false;
    d.open = true;
    return true;
}

void DevToolsConnection::Detach() {
    Impl& d = *impl_;
    if (!d.carried) return;
    d.open = false;
    {
        std::lock_guard<std::mutex> lock(d.writeLock);
        d.carrier = nullptr;
    }
    d.FailAll();
}

void DevToolsConnection::Receive(const char* text, size_t size) {
    if (impl_->open) impl_->Deliver(text, size);
}

void DevToolsConnection::CarrierClosed() {
    Impl& d = *impl_;
    d.open = false;
    d.FailAll();
    if (d.closedByUs) return;
    CloseHandler handler;
    {
        std::lock_guard<std::mutex> lock(d.stateLock);
        handler = d.onClose;
    }
    if (handler) handler();
}

void DevToolsConnection::SetSessionTap(const std::string& sessionId, EventHandler tap) {
    std::lock_guard<std::mutex> lock(impl_->stateLock);
    impl_->taps[sessionId] = std::move(tap);
}

void DevToolsConnection::RemoveSessionTap(const std::string& sessionId) {
    std::lock_guard<std::mutex> lock(impl_->stateLock);
    impl_->taps.erase(sessionId);
}

int DevToolsConnection::SendAsync(const std::string& method, const json& params, AnswerHandler onAnswer,
                                  const std::string& sessionId) {
    Impl& d = *impl_;
    if (!d.open) return 0;
    int id = d.nextId++;
    json msg = {{"id", id}, {"method", method}};
    if (!params.is_null()) msg["params"] = params;
    if (!sessionId.empty()) msg["sessionId"] = sessionId;
    std::string text = msg.dump(-1, ' ', false, json::error_handler_t::replace);
    bool wantsAnswer = (bool)onAnswer;
    if (wantsAnswer) {
        auto call = std::make_shared<PendingCall>();
        call->onAnswer = std::move(onAnswer);
        std::lock_guard<std::mutex> lock(d.stateLock);
        // The connection may have failed since `open` was read; FailAll is done
        // with `pending` then, and an entry added now would never be answered.
        if (d.failed) return 0;
        d.pending[id] = call;
    }
    if (!d.SendText(text)) {
        if (!wantsAnswer) return 0;
        std::lock_guard<std::mutex> lock(d.stateLock);
        // Not there any more: FailAll took it and answers it, so it counts as sent.
        return d.pending.erase(id) ? 0 : id;
    }
    return id;
}

int DevToolsConnection::Send(const std::string& method, const json& params, const std::string& sessionId) {
    return SendAsync(method, params, AnswerHandler(), sessionId);
}

bool DevToolsConnection::Call(const std::string& method, const json& params, json* result,
                              const std::string& sessionId, DWORD timeoutMs) {
    Impl& d = *impl_;
    if (!d.open || OnReaderThread()) return false;
    auto call = std::make_shared<PendingCall>();
    call->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!call->done) return false;
    int id = d.nextId++;
    {
        std::lock_guard<std::mutex> lock(d.stateLock);
        if (d.failed) return false;  // failed since `open` was read: nobody would answer
        d.pending[id] = call;
    }
    json msg = {{"id", id}, {"method", method}};
    if (!params.is_null()) msg["params"] = params;
    if (!sessionId.empty()) msg["sessionId"] = sessionId;
    std::string text = msg.dump(-1, ' ', false, json::error_handler_t::replace);
    bool answered = false;
    if (d.SendText(text)) answered = base::WaitServingSentMessages(&call->done, 1, timeoutMs) == 0;
    {
        std::lock_guard<std::mutex> lock(d.stateLock);
        d.pending.erase(id);
    }
    // The reader writes ok/result before setting the event.
    if (!answered || !call->ok) return false;
    if (result) *result = std::move(call->result);
    return true;
}

void DevToolsConnection::SetEventHandler(EventHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->stateLock);
    impl_->onEvent = std::move(handler);
}

void DevToolsConnection::SetCloseHandler(CloseHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->stateLock);
    impl_->onClose = std::move(handler);
}

void DevToolsConnection::Close() {
    Impl& d = *impl_;
    d.closedByUs = true;
    if (d.carried) {
        // Callers waiting for answers return now; the carrier's owner ends the carrier.
        d.open = false;
        d.FailAll();
        return;
    }
    if (d.stopEvent) SetEvent(d.stopEvent);
    if (!d.reader || OnReaderThread()) return;
    WaitForSingleObject(d.reader, INFINITE);
    CloseHandle(d.reader);
    d.reader = nullptr;
    d.readerId = 0;
    std::lock_guard<std::mutex> lock(d.writeLock);
    if (d.sock != INVALID_SOCKET) {
        closesocket(d.sock);
        d.sock = INVALID_SOCKET;
    }
}

bool DevToolsConnection::IsOpen() const { return impl_->open; }

bool DevToolsConnection::OnReaderThread() const {
    DWORD id = impl_->readerId;
    return id != 0 && id == GetCurrentThreadId();
}

bool ReadDevToolsActivePort(const std::wstring& profileDir, int* port, std::string* browserPath) {
    std::wstring file = profileDir;
    if (!file.empty() && file.back() != L'\\' && file.back() != L'/') file += L'\\';
    file += L"DevToolsActivePort";
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    char buf[512];
    DWORD got = 0;
    BOOL ok = ReadFile(f, buf, sizeof(buf) - 1, &got, nullptr);
    CloseHandle(f);
    if (!ok || got == 0) return false;
    buf[got] = 0;
    std::string text(buf, got);
    size_t nl = text.find('\n');
    if (nl == std::string::npos) return false;  // still being written
    int value = atoi(text.substr(0, nl).c_str());
    std::string path = text.substr(nl + 1);
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r' || path.back() == ' ')) path.pop_back();
    if (value <= 0 || value > 65535 || path.empty() || path[0] != '/') return false;
    if (port) *port = value;
    if (browserPath) *browserPath = path;
    return true;
}

std::string JsonString(const json& obj, const char* key) {
    if (!obj.is_object()) return std::string();
    auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int JsonInt(const json& obj, const char* key, int fallback) {
    if (!obj.is_object()) return fallback;
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_number()) return fallback;
    return it->is_number_integer() ? (int)it->get<int64_t>() : (int)it->get<double>();
}

double JsonDouble(const json& obj, const char* key, double fallback) {
    if (!obj.is_object()) return fallback;
    auto it = obj.find(key);
    return it != obj.end() && it->is_number() ? it->get<double>() : fallback;
}

bool JsonBool(const json& obj, const char* key, bool fallback) {
    if (!obj.is_object()) return fallback;
    auto it = obj.find(key);
    return it != obj.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

const json& JsonObject(const json& obj, const char* key) {
    static const json kNull;
    if (!obj.is_object()) return kNull;
    auto it = obj.find(key);
    return it != obj.end() ? *it : kNull;
}

bool Base64Decode(const char* text, size_t length, std::string* out) {
    if (!out) return false;
    out->clear();
    if (length == 0) return true;
    DWORD size = 0;
    if (!CryptStringToBinaryA(text, (DWORD)length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
        return false;
    out->resize(size);
    if (!CryptStringToBinaryA(text, (DWORD)length, CRYPT_STRING_BASE64, (BYTE*)&(*out)[0], &size, nullptr,
                              nullptr))
        return false;
    out->resize(size);
    return true;
}

}  // namespace cef_internal
