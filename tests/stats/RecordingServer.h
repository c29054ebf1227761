// A small HTTP server on the loopback interface, inside the test process, that
// records every request it gets. In silent mode it accepts and reads requests
// but never answers, holding each connection open until it stops. Each
// connection has its own thread, so one that sends nothing (a browser's spare
// connection) holds up no other.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <mutex>
#include <thread>
#include <string>
#include <utility>
#include <vector>

struct RecordedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased
    std::string body;
    DWORD receivedTick = 0;  // GetTickCount when the request was complete

    // Every value of a header, in arrival order.
    std::vector<std::string> Values(const std::string& lowerName) const;
};

class RecordingServer {
public:
    enum Mode { kAnswer, kSilent };

    explicit RecordingServer(Mode mode = kAnswer) : mode_(mode) {}
    ~RecordingServer() { Stop(); }

    // Port 0 picks a free one. False when the port cannot be had (in use).
    bool Start(unsigned short port = 0);
    void Stop();
    unsigned short port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    std::vector<RecordedRequest> Requests();
    // Waits until at least `count` requests are recorded; false on time-out.
    bool WaitForRequests(size_t count, DWORD ms);

private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    void Serve();
    void Handle(SOCKET s);

    Mode mode_;
    unsigned short port_ = 0;
    SOCKET listener_ = INVALID_SOCKET;
    HANDLE thread_ = nullptr;
    HANDLE stop_ = nullptr;
    // Requests are written on the server thread and read on the test thread.
    std::mutex lock_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::thread> connections_;  // server thread only; joined when it ends
};

// Form decoding of one value ("+" is a blank, "%XX" a byte).
std::string FormDecode(const std::string& text);
// The fields of a form body or query, in order, decoded.
std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text);
