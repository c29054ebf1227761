// The socket relay: how a Flash movie in the emulator reaches a TCP server. The
// emulator opens a WebSocket to ws://127.0.0.1:<port>/<token>/<host>/<port>, on a
// bounded server (bounded_server.h) that hands such requests over (Claim); the
// relay checks the page's origin, asks the target for its socket policy as Flash
// Player did (port 843, then the target port), connects, and only then accepts
// the WebSocket, so a target that refuses or is not allowed fails the handshake.
// From then on the bytes go both ways as binary frames, until either side closes,
// which closes the other.
//
// One thread runs every connection handed over in one WSAPoll loop over non-blocking sockets;
// each direction of a connection holds at most one buffer's worth, and a side is
// read only while the other has room (back-pressure reaches the sender through
// TCP's own window). Policy look-ups and connects, which wait on the network, run
// on a few short-lived helper threads, never more than Limits::maxSetups at once;
// their results are cached for the relay's life.
#pragma once

#include <windows.h>
#include <memory>
#include <string>
#include "src/flash/bounded_server.h"

namespace cef_internal {

class SocketRelay {
public:
    struct Limits {
        int maxConnections = 64;        // open or being set up, whole relay
        int maxPerOrigin = 24;          // open or being set up, per page origin
        int maxSetups = 6;              // policy look-ups and connects under way at once
        int maxQueued = 48;             // waiting for a setup slot, whole relay
        size_t buffer = 64 * 1024;      // per direction and connection
        size_t totalBuffer = 2 * 1024 * 1024;  // everything buffered, whole relay
        size_t maxHead = 8192;          // the head and what the page sends before its answer
        DWORD policyDeadlineMs = 3000;  // each policy request, connect to answer
        DWORD connectDeadlineMs = 5000;
        DWORD closeDeadlineMs = 2000;   // for the page's answer to our close
        int policyPort = 843;           // Flash Player's master policy port
    };

    struct Stats {
        int open = 0;              // connections, any state
        int peakOpen = 0;
        long relayed = 0;          // handshakes accepted
        long refused = 0;          // requests answered with an error, or dropped
        size_t buffered = 0;       // bytes now held in the relay's buffers
        size_t peakBuffered = 0;
        long policyRequests = 0;   // policy requests sent to targets
    };

    SocketRelay(const std::string& token, const Limits& limits);
    ~SocketRelay();  // Stop

    // Starts the loop. False when it fails.
    bool Start();
    // Ends every connection, the loop and the helpers; idempotent. Not on the loop's thread.
    void Stop();
    // For a bounded server's handler: when the request is under the relay's token,
    // makes the reply hand the connection over to the relay (which answers it, a
    // refusal included) and returns true. Any thread.
    bool Claim(const std::string& head, BoundedServer::Reply* reply);

    // Lets pages of this origin ("http://host:port") use the relay. Any thread.
    void AllowOrigin(const std::string& origin);
    Stats GetStats() const;

    SocketRelay(const SocketRelay&) = delete;
    SocketRelay& operator=(const SocketRelay&) = delete;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;  // shared with helper threads, which may outlive a Stop that stopped waiting
};

}  // namespace cef_internal
