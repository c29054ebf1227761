#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/flash/socket_relay.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>
#include "src/flash/relay_protocol.h"

namespace cef_internal {
namespace {

const size_t kChunk = 64 * 1024;         // one read at most
const size_t kMaxCacheEntries = 4096;    // policies and addresses remembered for the run
const DWORD kHelperStack = 128 * 1024;

ULONGLONG Now() { return GetTickCount64(); }

void Configure(SOCKET s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    BOOL noDelay = TRUE;  // frames are small and interactive
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&noDelay, sizeof(noDelay));
}

void CloseSocket(SOCKET* s) {
    if (*s != INVALID_SOCKET) closesocket(*s);
    *s = INVALID_SOCKET;
}

// A socket of a helper thread, whose every wait also ends at the relay's stop.
class HelperSocket {
public:
    ~HelperSocket() {
        if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
        CloseSocket(&s_);
    }
    bool Connect(const in_addr& address, int port, HANDLE stop, ULONGLONG deadline) {
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        event_ = WSACreateEvent();
        if (s_ == INVALID_SOCKET || event_ == WSA_INVALID_EVENT ||
            WSAEventSelect(s_, event_, FD_CONNECT | FD_READ | FD_CLOSE) != 0)
            return false;
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr = address;
        addr.sin_port = htons((u_short)port);
        if (connect(s_, (sockaddr*)&addr, sizeof(addr)) == 0) return true;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
        for (;;) {
            long seen = 0;
            int error = 0;
            if (!Wait(stop, deadline, &seen, &error)) return false;
            if (seen & FD_CONNECT) return error == 0;
        }
    }
    // Asks for the socket policy and reads the answer up to its NUL or the close.
    bool ReadPolicy(std::string* answer, HANDLE stop, ULONGLONG deadline) {
        if (send(s_, kPolicyRequest, (int)kPolicyRequestSize, 0) != (int)kPolicyRequestSize) return false;
        char buf[2048];
        for (;;) {
            int n = recv(s_, buf, sizeof(buf), 0);
            if (n > 0) {
                answer->append(buf, (size_t)n);
                if (memchr(buf, 0, (size_t)n)) return true;
                if (answer->size() > kMaxPolicySize) return false;
                continue;
            }
            if (n == 0) return !answer->empty();
            if (WSAGetLastError() != WSAEWOULDBLOCK) return !answer->empty();
            long seen = 0;
            int error = 0;
            if (!Wait(stop, deadline, &seen, &error)) return false;
        }
    }
    // The connected socket, non-blocking and no longer tied to the event.
    SOCKET Release() {
        WSAEventSelect(s_, nullptr, 0);
        SOCKET s = s_;
        s_ = INVALID_SOCKET;
        Configure(s);
        return s;
    }

private:
    bool Wait(HANDLE stop, ULONGLONG deadline, long* seen, int* error) {
        ULONGLONG now = Now();
        if (now >= deadline) return false;
        HANDLE handles[2] = {event_, stop};
        if (WaitForMultipleObjects(2, handles, FALSE, (DWORD)(deadline - now)) != WAIT_OBJECT_0) return false;
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(s_, event_, &events) != 0) return false;
        *seen = events.lNetworkEvents;
        *error = (events.lNetworkEvents & FD_CONNECT) ? events.iErrorCode[FD_CONNECT_BIT] : 0;
        return true;
    }

    SOCKET s_ = INVALID_SOCKET;
    WSAEVENT event_ = WSA_INVALID_EVENT;
};

}  // namespace

struct SocketRelay::Impl : std::enable_shared_from_this<SocketRelay::Impl> {
    // One relayed connection, or one on its way to being one. Loop thread only.
    struct Conn {
        enum State { kHead, kQueued, kSetup, kOpen, kRefusing };  // kHead: taken, its head not yet looked at
        long id = 0;
        State state = kHead;
        SOCKET page = INVALID_SOCKET;    // the engine's WebSocket
        SOCKET target = INVALID_SOCKET;  // the TCP server
        std::string head;                // the request head (and bytes after it)
        RelayRequest request;
        std::string fromHost;            // the page's host, which policies are matched against
        std::string toPage;
        size_t toPagePos = 0;
        std::string toTarget;
        size_t toTargetPos = 0;
        WebSocketReader reader;
        ULONGLONG deadline = 0;          // the close's; 0: none
        bool pageDone = false;           // the page closed or failed: nothing more is read from it
        bool targetDone = false;         // the target ended
        bool closeSent = false;
        bool finished = false;           // to be removed

        size_t PendingToPage() const { return toPage.size() - toPagePos; }
        size_t PendingToTarget() const { return toTarget.size() - toTargetPos; }
    };

    struct HostKnowledge {
        bool resolved = false;   // looked up (the answer may be that there is none)
        bool reachable = false;
        in_addr address = {};
        bool masterKnown = false;
        SocketPolicy master;
    };

    struct SetupResult {
        long id;
        std::string host;
        int status;  // 0: connected
        SOCKET socket;
    };

    struct Adopted {
        SOCKET socket;
        std::string received;  // the request head and what came after it
    };

    struct Helper {
        std::shared_ptr<Impl> impl;
        long id;
        std::string host;
        int port;
        std::string fromHost;
    };

    Impl(const std::string& t, const Limits& l) : token(t), limits(l) {}
    ~Impl() {
        if (stopEvent) CloseHandle(stopEvent);
    }

    const std::string token;
    const Limits limits;
    SOCKET wake = INVALID_SOCKET;  // a datagram to it wakes the loop
    sockaddr_in wakeAddress = {};
    HANDLE stopEvent = nullptr;    // set by Stop: helpers give up their waits
    HANDLE thread = nullptr;
    bool winsock = false;

    // Guards everything below it: used by the loop, the helpers, the bounded
    // server's thread (Adopt), AllowOrigin, GetStats, Start and Stop.
    mutable std::mutex lock;
    bool running = false;  // the loop takes connections: from a successful Start to Stop
    bool stopping = false;
    std::vector<Adopted> adopted;  // handed over, not yet taken by the loop; at most maxConnections
    std::set<std::string> origins;
    std::map<std::string, HostKnowledge> hosts;
    std::map<std::pair<std::string, int>, SocketPolicy> portPolicies;
    std::vector<SetupResult> results;
    std::vector<HANDLE> helpers;
    Stats stats;

    // The loop thread's own.
    std::map<long, std::unique_ptr<Conn>> conns;
    long nextId = 1;
    std::deque<long> queue;
    std::set<std::string> busyHosts;  // one setup per target host at a time: its policies are fetched once
    int setups = 0;
    char buf[kChunk];

    void Wake() {
        char b = 1;
        sendto(wake, &b, 1, 0, (const sockaddr*)&wakeAddress, sizeof(wakeAddress));
    }

    // ---- decisions, from what is known ----

    enum class Known { kAllowed, kRefused, kUnknown };
    // Caller holds `lock`.
    Known Decide(const std::string& host, int port, const std::string& fromHost) {
        auto h = hosts.find(host);
        if (h == hosts.end() || !h->second.resolved) return Known::kUnknown;
        if (!h->second.reachable) return Known::kRefused;
        if (!h->second.masterKnown) return Known::kUnknown;
        switch (MasterPolicyDecides(h->second.master, fromHost, port)) {
        case PolicyStep::kAllowed: return Known::kAllowed;
        case PolicyStep::kRefused: return Known::kRefused;
        case PolicyStep::kAskPort: break;
        }
        auto p = portPolicies.find({host, port});
        if (p == portPolicies.end()) return Known::kUnknown;
        return PolicyAdmits(p->second, fromHost, port) ? Known::kAllowed : Known::kRefused;
    }

    // ---- helpers: what waits on the network ----

    static DWORD WINAPI HelperMain(LPVOID param) {
        std::unique_ptr<Helper> job(static_cast<Helper*>(param));
        WSADATA wsa;
        bool started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
        job->impl->RunSetup(*job);
        if (started) WSACleanup();
        return 0;
    }

    SocketPolicy FetchPolicy(const in_addr& address, int port) {
        {
            std::lock_guard<std::mutex> guard(lock);
            ++stats.policyRequests;
        }
        HelperSocket s;
        std::string answer;
        ULONGLONG deadline = Now() + limits.policyDeadlineMs;
        if (!s.Connect(address, port, stopEvent, deadline) || !s.ReadPolicy(&answer, stopEvent, deadline))
            return SocketPolicy();
        return ParseSocketPolicy(answer);
    }

    void RunSetup(const Helper& job) {
        int status = 403;
        SOCKET connected = INVALID_SOCKET;
        HostKnowledge known;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (hosts.size() > kMaxCacheEntries) hosts.clear();
            known = hosts[job.host];
        }
        if (!known.resolved) {
            addrinfo hints = {};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            known.resolved = true;
            if (getaddrinfo(job.host.c_str(), nullptr, &hints, &found) == 0 && found) {
                known.reachable = true;
                known.address = ((sockaddr_in*)found->ai_addr)->sin_addr;
            }
            if (found) freeaddrinfo(found);
        }
        if (known.reachable && !known.masterKnown) {
            known.master = FetchPolicy(known.address, limits.policyPort);
            known.masterKnown = WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0;
        }
        Known decision;
        {
            std::lock_guard<std::mutex> guard(lock);
            hosts[job.host] = known;
            decision = Decide(job.host, job.port, job.fromHost);
        }
        if (decision == Known::kUnknown && known.reachable && known.masterKnown) {
            SocketPolicy own = FetchPolicy(known.address, job.port);
            std::lock_guard<std::mutex> guard(lock);
            if (WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
                if (portPolicies.size() > kMaxCacheEntries) portPolicies.clear();
                portPolicies[{job.host, job.port}] = own;
            }
            decision = PolicyAdmits(own, job.fromHost, job.port) ? Known::kAllowed : Known::kRefused;
        }
        if (decision == Known::kAllowed) {
            HelperSocket s;
            if (s.Connect(known.address, job.port, stopEvent, Now() + limits.connectDeadlineMs)) {
                connected = s.Release();
                status = 0;
            } else {
                status = 502;
            }
        }
        std::lock_guard<std::mutex> guard(lock);
        if (stopping) {
            CloseSocket(&connected);
            return;
        }
        results.push_back({job.id, job.host, status, connected});
        Wake();
    }

    // ---- the loop ----

    void Refuse(Conn* c, int status) {
        c->state = Conn::kRefusing;
        c->toPage = HttpRefusal(status);
        c->toPagePos = 0;
        c->deadline = Now() + limits.closeDeadlineMs;
        std::lock_guard<std::mutex> guard(lock);
        ++stats.refused;
    }

    void Finish(Conn* c) {
        CloseSocket(&c->page);
        CloseSocket(&c->target);
        c->finished = true;
    }

    void Schedule() {
        for (auto it = queue.begin(); it != queue.end();) {
            auto found = conns.find(*it);
            if (found == conns.end() || found->second->finished || found->second->state != Conn::kQueued) {
                it = queue.erase(it);
                continue;
            }
            Conn* c = found->second.get();
            Known decision;
            {
                std::lock_guard<std::mutex> guard(lock);
                decision = Decide(c->request.host, c->request.port, c->fromHost);
            }
            if (decision == Known::kRefused) {
                Refuse(c, 403);
                it = queue.erase(it);
                continue;
            }
            if (setups >= limits.maxSetups || busyHosts.count(c->request.host)) {
                ++it;
                continue;
            }
            auto* job = new Helper{shared_from_this(), c->id, c->request.host, c->request.port, c->fromHost};
            HANDLE t = CreateThread(nullptr, kHelperStack, HelperMain, job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
            if (!t) {
                delete job;
                Refuse(c, 503);
                it = queue.erase(it);
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                // Helpers that have ended are let go here, so their handles do not pile up.
                helpers.erase(std::remove_if(helpers.begin(), helpers.end(),
                                             [](HANDLE h) {
                                                 if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return false;
                                                 CloseHandle(h);
                                                 return true;
                                             }),
                              helpers.end());
                helpers.push_back(t);
            }
            ++setups;
            busyHosts.insert(c->request.host);
            c->state = Conn::kSetup;
            it = queue.erase(it);
        }
    }

    void TakeResults() {
        std::vector<SetupResult> done;
        {
            std::lock_guard<std::mutex> guard(lock);
            done.swap(results);
        }
        for (SetupResult& r : done) {
            --setups;
            busyHosts.erase(r.host);
            auto found = conns.find(r.id);
            if (found == conns.end() || found->second->finished || found->second->state != Conn::kSetup) {
                CloseSocket(&r.socket);
                continue;
            }
            Conn* c = found->second.get();
            if (r.status != 0) {
                Refuse(c, r.status);
                continue;
            }
            std::string accept = WebSocketAccept(c->request.key);
            if (accept.empty()) {
                CloseSocket(&r.socket);
                Refuse(c, 503);
                continue;
            }
            c->target = r.socket;
            c->state = Conn::kOpen;
            c->deadline = 0;
            c->toPage = WebSocketSwitchAnswer(accept);
            c->toPagePos = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                ++stats.relayed;
            }
            // Frames the page sent right behind its request.
            std::string early;
            early.swap(c->head);
            if (!early.empty()) FromPage(c, early.data(), early.size());
        }
        if (!done.empty()) Schedule();
    }

    // Any thread. The socket is ours from here, taken or refused.
    void Adopt(SOCKET s, std::string received) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (running && !stopping && adopted.size() < (size_t)limits.maxConnections) {
                try {
                    adopted.push_back({s, std::move(received)});
                    Wake();
                    return;
                } catch (const std::bad_alloc&) {
                }
            }
            ++stats.refused;
        }
        RefuseAtOnce(s);
    }

    static void RefuseAtOnce(SOCKET s) {
        std::string answer = HttpRefusal(503);
        send(s, answer.data(), (int)answer.size(), 0);
        closesocket(s);
    }

    void TakeAdopted() {
        std::vector<Adopted> taken;
        {
            std::lock_guard<std::mutex> guard(lock);
            taken.swap(adopted);
        }
        for (Adopted& a : taken) {
            if ((int)conns.size() >= limits.maxConnections) {
                RefuseAtOnce(a.socket);
                std::lock_guard<std::mutex> guard(lock);
                ++stats.refused;
                continue;
            }
            Configure(a.socket);
            std::unique_ptr<Conn> c(new Conn);
            c->id = nextId++;
            c->page = a.socket;
            c->head = std::move(a.received);
            Conn* taking = c.get();
            conns[c->id] = std::move(c);
            // The bounded server hands a head over only once it is whole.
            size_t end = taking->head.find("\r\n\r\n");
            HeadComplete(taking, end == std::string::npos ? taking->head.size() : end + 4);
        }
    }

    void HeadComplete(Conn* c, size_t headEnd) {
        c->request = ParseRelayRequest(c->head.substr(0, headEnd), token);
        c->head.erase(0, headEnd);
        if (c->request.status != 0) return Refuse(c, c->request.status);
        bool allowed;
        {
            std::lock_guard<std::mutex> guard(lock);
            allowed = origins.count(OriginOfUrl(c->request.origin)) > 0;
        }
        c->fromHost = HostOfOrigin(c->request.origin);
        if (!allowed || c->fromHost.empty()) return Refuse(c, 403);
        int sameOrigin = 0;
        for (auto& other : conns)
            if (other.second.get() != c && !other.second->finished && other.second->state != Conn::kHead &&
                other.second->state != Conn::kRefusing && other.second->request.origin == c->request.origin)
                ++sameOrigin;
        if (sameOrigin >= limits.maxPerOrigin || (int)queue.size() >= limits.maxQueued) return Refuse(c, 503);
        c->state = Conn::kQueued;
        c->deadline = 0;
        queue.push_back(c->id);
        Schedule();
    }

    // Bytes the page sent on an open connection.
    void FromPage(Conn* c, const char* data, size_t size) {
        if (c->toTargetPos > 0 && c->toTargetPos == c->toTarget.size()) {
            c->toTarget.clear();
            c->toTargetPos = 0;
        }
        while (size > 0 && !c->pageDone) {
            size_t before = c->toTarget.size();
            WebSocketReader::Status status = c->reader.Feed(&data, &size, &c->toTarget);
            if (c->targetDone) c->toTarget.resize(before);  // nobody left to take it
            if (status == WebSocketReader::kPing) {
                if (!c->closeSent) {
                    c->toPage += WebSocketFrameHead(kWsPong, c->reader.ControlPayload().size());
                    c->toPage += c->reader.ControlPayload();
                }
            } else if (status == WebSocketReader::kClose || status == WebSocketReader::kFail) {
                c->pageDone = true;
                if (!c->closeSent) {
                    uint16_t code = status == WebSocketReader::kFail ? 1002 : 1000;
                    c->toPage += WebSocketCloseFrame(code);
                    c->closeSent = true;
                }
                if (status == WebSocketReader::kFail) {
                    // What the page sent is not to be trusted any further.
                    c->toTarget.clear();
                    c->toTargetPos = 0;
                }
                c->deadline = Now() + limits.closeDeadlineMs;
            }
        }
    }

    void TargetEnded(Conn* c, uint16_t code) {
        c->targetDone = true;
        CloseSocket(&c->target);
        c->toTarget.clear();
        c->toTargetPos = 0;
        if (!c->closeSent) {
            c->toPage += WebSocketCloseFrame(code);
            c->closeSent = true;
            c->deadline = Now() + limits.closeDeadlineMs;
        }
    }

    size_t Buffered() const {
        size_t total = 0;
        for (auto& c : conns) total += c.second->PendingToPage() + c.second->PendingToTarget();
        return total;
    }

    void OnPageReadable(Conn* c, size_t room) {
        // With the target gone what comes is read only for the page's close, and dropped.
        if (c->targetDone) room = sizeof(buf);
        int n = recv(c->page, buf, (int)std::min(sizeof(buf), std::max<size_t>(room, 1)), 0);
        if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
            // The page went without a close: so does the target.
            Finish(c);
            return;
        }
        if (n < 0) return;
        if (c->state == Conn::kOpen) {
            FromPage(c, buf, (size_t)n);
        } else if (c->state == Conn::kQueued || c->state == Conn::kSetup) {
            // Nothing is to come before the answer; a little is kept for then.
            c->head.append(buf, (size_t)n);
            if (c->head.size() > limits.maxHead) Finish(c);
        }
        // Refusing: what the page still sends is dropped.
    }

    void OnTargetReadable(Conn* c, size_t room) {
        int n = recv(c->target, buf, (int)std::min(sizeof(buf), std::max<size_t>(room, 1)), 0);
        if (n > 0) {
            if (c->toPagePos > 0 && c->toPagePos == c->toPage.size()) {
                c->toPage.clear();
                c->toPagePos = 0;
            }
            c->toPage += WebSocketFrameHead(kWsBinary, (uint64_t)n);
            c->toPage.append(buf, (size_t)n);
        } else if (n == 0) {
            TargetEnded(c, 1000);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            TargetEnded(c, 1011);
        }
    }

    static bool Flush(SOCKET s, std::string* out, size_t* pos) {
        while (*pos < out->size()) {
            int n = send(s, out->data() + *pos, (int)std::min<size_t>(out->size() - *pos, 256 * 1024), 0);
            if (n <= 0) return n < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
            *pos += (size_t)n;
        }
        out->clear();
        *pos = 0;
        return true;
    }

    void OnPageWritable(Conn* c) {
        if (!Flush(c->page, &c->toPage, &c->toPagePos)) Finish(c);
    }

    void OnTargetWritable(Conn* c) {
        if (!Flush(c->target, &c->toTarget, &c->toTargetPos)) TargetEnded(c, 1011);
    }

    // What follows from a connection's state once its sockets were served.
    void Settle(Conn* c, ULONGLONG now) {
        if (c->finished) return;
        if (c->deadline && now >= c->deadline) return Finish(c);
        if (c->state == Conn::kRefusing) {
            if (c->PendingToPage() == 0) {
                shutdown(c->page, SD_SEND);
                Finish(c);
            }
            return;
        }
        if (c->state != Conn::kOpen) return;
        // The page closed: the target gets what is left for it, then its end.
        if (c->pageDone && c->target != INVALID_SOCKET && c->PendingToTarget() == 0) {
            shutdown(c->target, SD_SEND);
            CloseSocket(&c->target);
            c->targetDone = true;
        }
        // Both closes exchanged and everything out: the connection is over.
        if (c->pageDone && c->closeSent && c->PendingToPage() == 0 && c->target == INVALID_SOCKET) Finish(c);
    }

    void Run() {
        std::vector<WSAPOLLFD> fds;
        std::vector<std::pair<Conn*, bool>> owners;  // beside fds[1..]: the connection, and whether it is the target
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping) break;
            }
            size_t buffered = Buffered();
            size_t globalRoom = buffered < limits.totalBuffer ? limits.totalBuffer - buffered : 0;
            fds.clear();
            owners.clear();
            fds.push_back({wake, POLLRDNORM, 0});
            ULONGLONG now = Now();
            ULONGLONG next = 0;
            for (auto& entry : conns) {
                Conn* c = entry.second.get();
                if (c->deadline && (!next || c->deadline < next)) next = c->deadline;
                short pageEvents = 0;
                if (c->state == Conn::kOpen) {
                    bool room = c->PendingToTarget() < limits.buffer && globalRoom > 0;
                    if (!c->pageDone && (room || c->targetDone)) pageEvents |= POLLRDNORM;
                } else {
                    pageEvents |= POLLRDNORM;
                }
                if (c->PendingToPage() > 0) pageEvents |= POLLWRNORM;
                fds.push_back({c->page, pageEvents, 0});
                owners.push_back({c, false});
                if (c->target != INVALID_SOCKET) {
                    short targetEvents = 0;
                    if (!c->closeSent && c->PendingToPage() < limits.buffer && globalRoom > 0)
                        targetEvents |= POLLRDNORM;
                    if (c->PendingToTarget() > 0) targetEvents |= POLLWRNORM;
                    fds.push_back({c->target, targetEvents, 0});
                    owners.push_back({c, true});
                }
            }
            INT timeout = next ? (INT)std::min<ULONGLONG>(next > now ? next - now : 0, 60000) : -1;
            int ready = WSAPoll(fds.data(), (ULONG)fds.size(), timeout);
            if (ready < 0) {
                Sleep(10);  // the poll itself failed (no memory): again shortly, without spinning
                continue;
            }
            if (fds[0].revents) {
                char drain[64];
                while (recv(wake, drain, sizeof(drain), 0) > 0) {
                }
            }
            TakeResults();
            TakeAdopted();
            buffered = Buffered();
            globalRoom = buffered < limits.totalBuffer ? limits.totalBuffer - buffered : 0;
            for (size_t i = 1; i < fds.size(); ++i) {
                Conn* c = owners[i - 1].first;
                bool isTarget = owners[i - 1].second;
                short re = fds[i].revents;
                if (!re || c->finished) continue;
                SOCKET s = isTarget ? c->target : c->page;
                if (s != fds[i].fd) continue;  // closed and replaced meanwhile
                bool readable = (re & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
                if (re & POLLWRNORM) isTarget ? OnTargetWritable(c) : OnPageWritable(c);
                if (c->finished) continue;
                if (readable && (fds[i].events & POLLRDNORM)) {
                    size_t own = isTarget ? limits.buffer - std::min(limits.buffer, c->PendingToPage())
                                          : limits.buffer - std::min(limits.buffer, c->PendingToTarget());
                    size_t room = std::min(own, globalRoom);
                    isTarget ? OnTargetReadable(c, room) : OnPageReadable(c, room);
                } else if ((re & (POLLHUP | POLLERR)) && !(fds[i].events & POLLRDNORM)) {
                    // Gone while we were not reading it.
                    if (isTarget) TargetEnded(c, 1011);
                    else Finish(c);
                }
            }
            now = Now();
            for (auto& entry : conns) Settle(entry.second.get(), now);
            for (auto it = conns.begin(); it != conns.end();) {
                if (it->second->finished) it = conns.erase(it);
                else ++it;
            }
            std::lock_guard<std::mutex> guard(lock);
            stats.open = (int)conns.size();
            stats.peakOpen = std::max(stats.peakOpen, stats.open);
            stats.buffered = Buffered();
            stats.peakBuffered = std::max(stats.peakBuffered, stats.buffered);
        }
        for (auto& entry : conns) Finish(entry.second.get());
        conns.clear();
        std::lock_guard<std::mutex> guard(lock);
        for (SetupResult& r : results) CloseSocket(&r.socket);
        results.clear();
        for (Adopted& a : adopted) CloseSocket(&a.socket);
        adopted.clear();
    }

    static DWORD WINAPI ThreadMain(LPVOID param) {
        static_cast<Impl*>(param)->Run();
        return 0;
    }
};

SocketRelay::SocketRelay(const std::string& token, const Limits& limits)
    : impl_(std::make_shared<Impl>(token, limits)) {}

SocketRelay::~SocketRelay() { Stop(); }

bool SocketRelay::Start() {
    Impl& d = *impl_;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    d.winsock = true;
    d.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d.wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (!d.stopEvent || d.wake == INVALID_SOCKET) return false;
    sockaddr_in wakeAddr = {};
    wakeAddr.sin_family = AF_INET;
    wakeAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(wakeAddr);
    if (bind(d.wake, (sockaddr*)&wakeAddr, sizeof(wakeAddr)) != 0 ||
        getsockname(d.wake, (sockaddr*)&d.wakeAddress, &len) != 0)
        return false;
    u_long on = 1;
    ioctlsocket(d.wake, FIONBIO, &on);
    d.thread = CreateThread(nullptr, 256 * 1024, Impl::ThreadMain, &d, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!d.thread) return false;
    std::lock_guard<std::mutex> guard(d.lock);
    d.running = true;
    return true;
}

void SocketRelay::Stop() {
    Impl& d = *impl_;
    std::vector<HANDLE> helpers;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.stopping = true;
        helpers.swap(d.helpers);
    }
    if (d.stopEvent) SetEvent(d.stopEvent);
    if (d.thread) {
        d.Wake();
        WaitForSingleObject(d.thread, INFINITE);
        CloseHandle(d.thread);
        d.thread = nullptr;
    }
    // Helpers end at the stop event, but a name lookup cannot be cut short: one
    // still at it is left to end on its own (it holds the state it uses).
    if (!helpers.empty())
        WaitForMultipleObjects((DWORD)std::min<size_t>(helpers.size(), MAXIMUM_WAIT_OBJECTS), helpers.data(), TRUE, 2000);
    for (HANDLE h : helpers) CloseHandle(h);
    CloseSocket(&d.wake);
    if (d.winsock) WSACleanup();
    d.winsock = false;
}

void SocketRelay::AllowOrigin(const std::string& origin) {
    std::string canonical = OriginOfUrl(origin);
    if (canonical.empty()) return;
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (impl_->origins.size() < 4096) impl_->origins.insert(canonical);
}

bool SocketRelay::Claim(const std::string& head, BoundedServer::Reply* reply) {
    if (!RequestUnderToken(head, impl_->token)) return false;
    std::shared_ptr<Impl> impl = impl_;
    reply->handOver = [impl](uintptr_t socket, std::string received) {
        impl->Adopt((SOCKET)socket, std::move(received));
    };
    return true;
}

SocketRelay::Stats SocketRelay::GetStats() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->stats;
}

}  // namespace cef_internal
