// A small HTTP server on 127.0.0.1 whose cost does not grow with what its clients
// do: one thread with one event loop for every connection, at most a handful of
// connections at once (the rest wait in the listener's queue; one that has not
// sent its request yet gives its place up to a waiting one), a deadline on the
// whole request head and on every stall, and bodies sent from files in chunks, so
// its memory is a few chunk buffers whatever the files and however many clients.
//
// One request per connection. The owner decides the answer from the request head
// (on the server's thread); the server carries it out, or hands the connection
// over to whoever serves it from then on (a WebSocket, which the server's bounds
// do not fit). A failure, out-of-memory included, ends that one connection and
// nothing else. The Flash file server and the socket relay are built on it.
#pragma once

#include <windows.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace cef_internal {

class BoundedServer {
public:
    struct Limits {
        int maxConnections = 8;          // served at once (at most 60: one wait covers them all)
        DWORD headDeadlineMs = 10000;    // from accept to the end of the request head
        DWORD stallMs = 15000;           // longest time a client may take to read more of an answer
        size_t maxHead = 8192;
        size_t chunk = 64 * 1024;        // one connection's body buffer
        int backlog = 64;                // connections waiting for a free place
    };

    struct Reply {
        std::string head;                // status line and headers, ending with the empty line
        std::string body;                // sent after the head when there is no file
        HANDLE file = INVALID_HANDLE_VALUE;  // its remaining content is sent, then it is closed
        // Set: no answer is sent. The connection leaves the server: its socket (a
        // SOCKET, non-blocking; winsock2.h stays out of this header) and every byte
        // read from it, the head and what came after, are given to this, on the
        // server's thread, which must not wait and closes the socket when done.
        std::function<void(uintptr_t socket, std::string received)> handOver;
    };
    // The answer to one request head (up to and including its empty line). False:
    // the connection is dropped without an answer.
    typedef std::function<bool(const std::string& head, Reply* reply)> Handler;

    // Counters, for tests and measurements.
    struct Stats {
        int open = 0;          // connections now open
        int peakOpen = 0;
        long accepted = 0;
        long answered = 0;     // answers sent whole
        long dropped = 0;      // connections ended early: deadline, stall, evicted, failure
        long handedOver = 0;
    };

    BoundedServer(const Limits& limits, Handler handler);
    ~BoundedServer();  // Stop

    // Listens on 127.0.0.1 (any free port) and starts the thread. False when either fails.
    bool Start();
    // Ends every connection and the thread; idempotent. Not on the server's thread.
    void Stop();
    int Port() const { return port_; }
    Stats GetStats() const;

    BoundedServer(const BoundedServer&) = delete;
    BoundedServer& operator=(const BoundedServer&) = delete;

private:
    struct Impl;
    static DWORD WINAPI ThreadMain(LPVOID self);
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace cef_internal
