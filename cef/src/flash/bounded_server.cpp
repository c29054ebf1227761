#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/flash/bounded_server.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace cef_internal {
namespace {

bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

}  // namespace

struct Connection {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;
    DWORD acceptedTick = 0;
    DWORD progressTick = 0;  // last byte sent (answer stage)
    bool answering = false;
    bool handedOver = false;  // the socket went to the reply's handOver
    std::string in;           // the request head so far
    std::string out;          // head (and a small body) still to send
    size_t outPos = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::vector<char> chunk;  // file content read, not yet sent
    size_t chunkPos = 0, chunkLen = 0;

    ~Connection() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (socket != INVALID_SOCKET) closesocket(socket);
        if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
    }
};

struct BoundedServer::Impl {
    Limits limits;
    Handler handler;
    bool wsaStarted = false;
    SOCKET listener = INVALID_SOCKET;
    WSAEVENT listenEvent = WSA_INVALID_EVENT;
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
    // Server thread only.
    std::vector<std::unique_ptr<Connection>> connections;
    // Written on the server thread, read by any (GetStats).
    mutable std::mutex statsLock;
    Stats stats;

    void Count(long Stats::*field) {
        std::lock_guard<std::mutex> guard(statsLock);
        ++(stats.*field);
    }
    void CountOpen() {
        std::lock_guard<std::mutex> guard(statsLock);
        stats.open = (int)connections.size();
        stats.peakOpen = std::max(stats.peakOpen, stats.open);
    }

    void Run();
    void AcceptWaiting();
    void Finished(const Connection* c);  // counts how it ended
    // False when the connection is finished (answered or failed): it is then removed.
    bool Progress(Connection* c, DWORD now);
    bool ReadHead(Connection* c);
    bool Send(Connection* c, DWORD now);
    DWORD Deadline(const Connection* c) const {
        return c->answering ? c->progressTick + limits.stallMs : c->acceptedTick + limits.headDeadlineMs;
    }
};

BoundedServer::BoundedServer(const Limits& limits, Handler handler) : impl_(new Impl) {
    impl_->limits = limits;
    impl_->limits.maxConnections = std::max(1, std::min(limits.maxConnections, MAXIMUM_WAIT_OBJECTS - 2));
    impl_->limits.chunk = std::max<size_t>(limits.chunk, 4096);
    impl_->handler = std::move(handler);
}

BoundedServer::~BoundedServer() { Stop(); }

bool BoundedServer::Start() {
    Impl& d = *impl_;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    d.wsaStarted = true;
    d.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (d.listener == INVALID_SOCKET) return false;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    BOOL exclusive = TRUE;
    setsockopt(d.listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&exclusive, sizeof(exclusive));
    if (bind(d.listener, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(d.listener, d.limits.backlog) != 0 ||
        getsockname(d.listener, (sockaddr*)&addr, &len) != 0)
        return false;
    d.listenEvent = WSACreateEvent();
    d.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (d.listenEvent == WSA_INVALID_EVENT || !d.stop ||
        WSAEventSelect(d.listener, d.listenEvent, FD_ACCEPT) != 0)
        return false;
    port_ = ntohs(addr.sin_port);
    // The loop needs little stack: its buffers live on the heap.
    d.thread = CreateThread(nullptr, 64 * 1024, ThreadMain, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    return d.thread != nullptr;
}

void BoundedServer::Stop() {
    Impl& d = *impl_;
    if (d.thread) {
        SetEvent(d.stop);
        WaitForSingleObject(d.thread, INFINITE);
        CloseHandle(d.thread);
        d.thread = nullptr;
    }
    d.connections.clear();
    d.CountOpen();
    if (d.listener != INVALID_SOCKET) closesocket(d.listener);
    d.listener = INVALID_SOCKET;
    if (d.listenEvent != WSA_INVALID_EVENT) WSACloseEvent(d.listenEvent);
    d.listenEvent = WSA_INVALID_EVENT;
    if (d.stop) CloseHandle(d.stop);
    d.stop = nullptr;
    if (d.wsaStarted) WSACleanup();
    d.wsaStarted = false;
}

BoundedServer::Stats BoundedServer::GetStats() const {
    std::lock_guard<std::mutex> guard(impl_->statsLock);
    return impl_->stats;
}

DWORD WINAPI BoundedServer::ThreadMain(LPVOID self) {
    static_cast<BoundedServer*>(self)->impl_->Run();
    return 0;
}

void BoundedServer::Impl::Run() {
    for (;;) {
        DWORD now = GetTickCount();
        // Waiting connections are taken while there is room, or while one of ours
        // is still waiting for its own head and can be given up for them.
        bool room = (int)connections.size() < limits.maxConnections;
        DWORD wait = INFINITE;
        for (const auto& c : connections) {
            DWORD left = (int)(Deadline(c.get()) - now) > 0 ? Deadline(c.get()) - now : 0;
            wait = std::min(wait, left);
            if (!c->answering) room = true;
        }
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD n = 0;
        handles[n++] = stop;
        if (room) handles[n++] = listenEvent;
        for (const auto& c : connections) handles[n++] = c->event;
        DWORD r = WaitForMultipleObjects(n, handles, FALSE, wait);
        if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) return;
        now = GetTickCount();
        // A pending FD_ACCEPT is signalled again only after an accept(): every reset of
        // the listener's event is followed by one (AcceptWaiting, below).
        if (room) {
            WSANETWORKEVENTS ne;
            WSAEnumNetworkEvents(listener, listenEvent, &ne);
        }
        // Every connection is given a go: its event is reset and whatever it can do now is done.
        for (size_t i = 0; i < connections.size();) {
            Connection* c = connections[i].get();
            WSANETWORKEVENTS ne;
            WSAEnumNetworkEvents(c->socket, c->event, &ne);
            bool keep;
            try {
                keep = Progress(c, now) && (int)(Deadline(c) - now) > 0;
            } catch (...) {  // out of memory on this connection: it alone ends
                keep = false;
            }
            if (keep) {
                ++i;
                continue;
            }
            Finished(c);
            connections.erase(connections.begin() + i);
            CountOpen();
        }
        bool canTake = (int)connections.size() < limits.maxConnections;
        for (const auto& c : connections) canTake = canTake || !c->answering;
        if (room || canTake) AcceptWaiting();
    }
}

void BoundedServer::Impl::AcceptWaiting() {
    // A few at a time: a flood in the queue must not keep the loop from the
    // connections it serves.
    for (int taken = 0; taken < limits.maxConnections; ++taken) {
        DWORD now = GetTickCount();
        // Full: the connection that has waited longest for its own head gives way
        // to the one in the queue (clients that hold a place and say nothing cannot
        // keep others out); none such, the rest wait in the queue.
        auto oldest = connections.end();
        bool full = (int)connections.size() >= limits.maxConnections;
        if (full) {
            for (auto it = connections.begin(); it != connections.end(); ++it)
                if (!(*it)->answering &&
                    (oldest == connections.end() || (int)((*it)->acceptedTick - (*oldest)->acceptedTick) < 0))
                    oldest = it;
            if (oldest == connections.end()) return;
        }
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        if (full) {
            connections.erase(oldest);
            Count(&Stats::dropped);
        }
        std::unique_ptr<Connection> c;
        try {
            c.reset(new Connection);
            c->in.reserve(1024);
        } catch (const std::bad_alloc&) {
            closesocket(s);
            Count(&Stats::dropped);
            continue;
        }
        c->socket = s;
        c->event = WSACreateEvent();
        c->acceptedTick = c->progressTick = now;
        if (c->event == WSA_INVALID_EVENT || WSAEventSelect(s, c->event, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            Count(&Stats::dropped);
            continue;  // c's destructor closes the socket
        }
        BOOL nodelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&nodelay, sizeof(nodelay));
        Count(&Stats::accepted);
        // A client's request is normally there by the time it is taken: read now,
        // before a later one could push it out.
        bool keep;
        try {
            keep = Progress(c.get(), now);
        } catch (...) {
            keep = false;
        }
        if (!keep) {
            Finished(c.get());
            continue;
        }
        connections.push_back(std::move(c));
        CountOpen();
    }
}

void BoundedServer::Impl::Finished(const Connection* c) {
    if (c->handedOver)
        Count(&Stats::handedOver);
    else if (c->answering && c->out.empty() && c->file == INVALID_HANDLE_VALUE && c->chunkPos == c->chunkLen)
        Count(&Stats::answered);
    else
        Count(&Stats::dropped);
}

bool BoundedServer::Impl::Progress(Connection* c, DWORD now) {
    if (!c->answering && !ReadHead(c)) return false;
    if (!c->answering) return true;
    return Send(c, now);
}

bool BoundedServer::Impl::ReadHead(Connection* c) {
    char buf[2048];
    for (;;) {
        int n = recv(c->socket, buf, sizeof(buf), 0);
        if (n == 0) return false;
        if (n < 0) return WouldBlock();
        size_t from = c->in.size() >= 3 ? c->in.size() - 3 : 0;
        c->in.append(buf, n);
        size_t end = c->in.find("\r\n\r\n", from);
        if (end == std::string::npos) {
            if (c->in.size() > limits.maxHead) return false;
            continue;
        }
        if (end + 4 > limits.maxHead) return false;
        std::string after = c->in.substr(end + 4);  // only a connection handed over has a use for it
        c->in.resize(end + 4);
        BoundedServer::Reply reply;
        bool answered = handler(c->in, &reply);
        if (!answered || reply.handOver) {
            if (reply.file != INVALID_HANDLE_VALUE) CloseHandle(reply.file);
            if (!answered) return false;
            c->in += after;
            // Out of the event's hands (it stays non-blocking) and out of ours.
            WSAEventSelect(c->socket, c->event, 0);
            SOCKET s = c->socket;
            c->socket = INVALID_SOCKET;
            c->handedOver = true;
            reply.handOver((uintptr_t)s, std::move(c->in));
            return false;
        }
        std::string().swap(c->in);
        c->out = std::move(reply.head);
        c->out += reply.body;
        c->file = reply.file;
        if (c->file != INVALID_HANDLE_VALUE) c->chunk.resize(limits.chunk);
        c->answering = true;
        c->progressTick = GetTickCount();
        // The client has nothing more to say; what it sends is not read.
        return true;
    }
}

bool BoundedServer::Impl::Send(Connection* c, DWORD now) {
    for (;;) {
        const char* data;
        size_t size;
        if (c->outPos < c->out.size()) {
            data = c->out.data() + c->outPos;
            size = c->out.size() - c->outPos;
        } else if (c->chunkPos < c->chunkLen) {
            data = c->chunk.data() + c->chunkPos;
            size = c->chunkLen - c->chunkPos;
        } else if (c->file != INVALID_HANDLE_VALUE) {
            std::string().swap(c->out);
            c->outPos = 0;
            DWORD got = 0;
            if (!ReadFile(c->file, c->chunk.data(), (DWORD)c->chunk.size(), &got, nullptr)) return false;
            if (got == 0) {
                CloseHandle(c->file);
                c->file = INVALID_HANDLE_VALUE;
                std::vector<char>().swap(c->chunk);
            }
            c->chunkPos = 0;
            c->chunkLen = got;
            continue;
        } else {
            std::string().swap(c->out);
            shutdown(c->socket, SD_SEND);
            return false;  // answered whole
        }
        int n = send(c->socket, data, (int)std::min<size_t>(size, 1 << 20), 0);
        if (n < 0) return WouldBlock();
        if (c->outPos < c->out.size()) c->outPos += (size_t)n;
        else c->chunkPos += (size_t)n;
        c->progressTick = now;
    }
}

}  // namespace cef_internal
