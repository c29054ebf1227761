#include "RecordingServer.h"

#include "common/Loopback.h"

#include <algorithm>
#include <cctype>

namespace {

struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// Reads until `done` says the data is complete, the peer closes, 10 s pass or
// `stop` is set.
template <typename Done>
void ReadUntil(SOCKET s, HANDLE stop, std::string& data, Done done) {
    DWORD start = GetTickCount();
    char buf[4096];
    while (!done(data)) {
        if (GetTickCount() - start > 10000 || WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv = {0, 200000};
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
        int got = recv(s, buf, sizeof(buf), 0);
        if (got <= 0) return;
        data.append(buf, got);
    }
}

}  // namespace

std::vector<std::string> RecordedRequest::Values(const std::string& lowerName) const {
    std::vector<std::string> out;
    for (auto& h : headers)
        if (h.first == lowerName) out.push_back(h.second);
    return out;
}

bool RecordingServer::Start(unsigned short port) {
    static WinsockUser winsock;
    int bound = 0;
    listener_ = testutil::ListenOnLoopback(16, &bound, port);
    if (listener_ == INVALID_SOCKET) return false;
    port_ = (unsigned short)bound;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    return thread_ != nullptr;
}

void RecordingServer::Stop() {
    if (thread_) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (stop_) {
        CloseHandle(stop_);
        stop_ = nullptr;
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
}

std::vector<RecordedRequest> RecordingServer::Requests() {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
}

bool RecordingServer::WaitForRequests(size_t count, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (requests_.size() >= count) return true;
        }
        if (GetTickCount() - start > ms) return false;
        Sleep(20);
    }
}

DWORD WINAPI RecordingServer::ThreadMain(LPVOID self) {
    static_cast<RecordingServer*>(self)->Serve();
    return 0;
}

void RecordingServer::Serve() {
    while (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener_, &set);
        timeval tv = {0, 50000};
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
        SOCKET s = accept(listener_, nullptr, nullptr);
        if (s != INVALID_SOCKET) connections_.emplace_back(&RecordingServer::Handle, this, s);
    }
    for (std::thread& t : connections_) t.join();
    connections_.clear();
}

void RecordingServer::Handle(SOCKET s) {
    std::string data;
    ReadUntil(s, stop_, data, [](const std::string& d) { return d.find("\r\n\r\n") != std::string::npos; });
    size_t headEnd = data.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        closesocket(s);
        return;
    }
    RecordedRequest r;
    std::string head = data.substr(0, headEnd);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t sp1 = requestLine.find(' '), sp2 = requestLine.rfind(' ');
    r.method = requestLine.substr(0, sp1);
    r.target = sp2 > sp1 ? requestLine.substr(sp1 + 1, sp2 - sp1 - 1) : std::string();
    size_t contentLength = 0;
    for (size_t pos = lineEnd; pos != std::string::npos && pos < head.size();) {
        size_t next = head.find("\r\n", pos + 2);
        std::string line = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = Lower(Trim(line.substr(0, colon)));
            std::string value = Trim(line.substr(colon + 1));
            r.headers.emplace_back(name, value);
            if (name == "content-length") contentLength = strtoul(value.c_str(), nullptr, 10);
        }
        pos = next;
    }
    size_t bodyStart = headEnd + 4;
    ReadUntil(s, stop_, data, [&](const std::string& d) { return d.size() >= bodyStart + contentLength; });
    r.body = data.substr(bodyStart, contentLength);
    r.receivedTick = GetTickCount();
    {
        std::lock_guard<std::mutex> lock(lock_);
        requests_.push_back(r);
    }
    if (mode_ == kSilent) {
        WaitForSingleObject(stop_, INFINITE);
        closesocket(s);
        return;
    }
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    send(s, reply, (int)sizeof(reply) - 1, 0);
    shutdown(s, SD_SEND);
    closesocket(s);
}

std::string FormDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
                   isxdigit((unsigned char)text[i + 2])) {
            out += (char)strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t amp = text.find('&', pos);
        std::string field = text.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        size_t eq = field.find('=');
        if (eq == std::string::npos) out.emplace_back(FormDecode(field), std::string());
        else out.emplace_back(FormDecode(field.substr(0, eq)), FormDecode(field.substr(eq + 1)));
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return out;
}
