// The WebSocket frames of the DevTools connection: masked frames out, and the
// frames coming in parsed, reassembled and bounded in size.
#include "src/engine/devtools_impl.h"

#include <algorithm>

namespace cef_internal {

uint32_t NextMask() {
    static std::atomic<uint64_t> state{0};
    uint64_t s = state.load();
    if (s == 0) {
        LARGE_INTEGER qpc;
        QueryPerformanceCounter(&qpc);
        s = (uint64_t)qpc.QuadPart ^ ((uint64_t)GetCurrentProcessId() << 32) ^ GetTickCount();
    }
    s += 0x9E3779B97F4A7C15ull;
    state.store(s);
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (uint32_t)(z ^ (z >> 31));
}

bool DevToolsConnection::Impl::SendAll(const char* data, size_t size, size_t* sent) {
    if (sent) *sent = 0;
    while (size > 0) {
        int n = send(sock, data, (int)(size > 0x100000 ? 0x100000 : size), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
            // The socket is non-blocking (event selection): wait until it drains.
            fd_set wfds;
            FD_ZERO(&wfds);
            FD_SET(sock, &wfds);
            timeval tv = {5, 0};
            if (select(0, nullptr, &wfds, nullptr, &tv) <= 0) return false;
            continue;
        }
        data += n;
        size -= (size_t)n;
        if (sent) *sent += (size_t)n;
    }
    return true;
}

bool DevToolsConnection::Impl::SendFrame(int opcode, const char* data, size_t size) {
    std::string frame;
    frame.reserve(size + 14);
    frame += (char)(0x80 | opcode);
    if (size < 126) {
        frame += (char)(0x80 | size);
    } else if (size < 65536) {
        frame += (char)(0x80 | 126);
        frame += (char)((size >> 8) & 0xFF);
        frame += (char)(size & 0xFF);
    } else {
        frame += (char)(0x80 | 127);
        uint64_t len = size;
        for (int i = 7; i >= 0; --i) frame += (char)((len >> (8 * i)) & 0xFF);
    }
    uint32_t mask = NextMask();
    unsigned char key[4] = {(unsigned char)(mask >> 24), (unsigned char)(mask >> 16), (unsigned char)(mask >> 8),
                            (unsigned char)mask};
    frame.append((const char*)key, 4);
    size_t start = frame.size();
    frame.append(data, size);
    for (size_t i = 0; i < size; ++i) frame[start + i] = (char)(frame[start + i] ^ key[i & 3]);
    std::lock_guard<std::mutex> lock(writeLock);
    if (sock == INVALID_SOCKET) return false;
    size_t sent = 0;
    if (SendAll(frame.data(), frame.size(), &sent)) return true;
    if (sent > 0) {
        // Half a frame is on the wire and the next one would be read as its rest: the
        // connection is over. The reader wakes, fails what waits and reports the close.
        open = false;
        shutdown(sock, SD_BOTH);
        SetEvent(stopEvent);
    }
    return false;
}

// Parses every complete frame in the input buffer. False when the peer closed
// or sent something that ends the connection.
bool DevToolsConnection::Impl::ParseFrames() {
    for (;;) {
        size_t avail = inbuf.size() - inpos;
        if (skipping > 0) {
            // The rest of a too large frame is thrown away as it comes, never buffered.
            size_t n = (size_t)std::min<uint64_t>(skipping, avail);
            inpos += n;
            skipping -= n;
            if (skipping > 0) break;
            continue;
        }
        if (avail < 2) break;
        const unsigned char* p = (const unsigned char*)inbuf.data() + inpos;
        bool fin = (p[0] & 0x80) != 0;
        int opcode = p[0] & 0x0F;
        bool masked = (p[1] & 0x80) != 0;
        uint64_t len = p[1] & 0x7F;
        size_t header = 2;
        if (len == 126) {
            if (avail < 4) break;
            len = ((uint64_t)p[2] << 8) | p[3];
            header = 4;
        } else if (len == 127) {
            if (avail < 10) break;
            len = 0;
            for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
            header = 10;
        }
        if (len >> 63) return false;  // no length a peer may send
        unsigned char key[4] = {0, 0, 0, 0};
        if (masked) {
            if (avail < header + 4) break;
            memcpy(key, p + header, 4);
            header += 4;
        }
        // A continuation counts together with what came of its message before it.
        uint64_t total = len + (opcode == 0x0 && messageActive ? message.size() : 0);
        if (total > kMaxDevToolsMessage) {
            if (opcode == 0x0 && !messageActive) return false;
            inpos += header;
            skipping = len;
            if (opcode <= 0x2) {
                // The whole message goes: what came of it so far and what is still to come.
                std::string().swap(message);
                messageActive = !fin;
                dropMessage = !fin;
            }
            continue;
        }
        if (avail < header + len) {
            // Room for the whole frame at once instead of growth by doubling.
            inbuf.reserve(inpos + header + (size_t)len);
            break;
        }
        // Unmasked where it lies: the buffer is ours and the bytes are read only once.
        char* data = &inbuf[inpos + header];
        if (masked)
            for (size_t i = 0; i < (size_t)len; ++i) data[i] = (char)(data[i] ^ key[i & 3]);
        inpos += header + (size_t)len;

        switch (opcode) {
        case 0x0:  // continuation
            if (!messageActive) return false;
            if (!dropMessage) message.append(data, (size_t)len);
            if (fin) {
                bool drop = dropMessage;
                messageActive = false;
                dropMessage = false;
                std::string whole;
                whole.swap(message);
                if (!drop) Deliver(whole.data(), whole.size());
            }
            break;
        case 0x1:
        case 0x2:
            if (fin) {
                Deliver(data, (size_t)len);
            } else {
                message.assign(data, (size_t)len);
                messageActive = true;
                dropMessage = false;
            }
            break;
        case 0x8:  // close: answer it and end
            SendFrame(0x8, data, len >= 2 ? 2 : 0);
            return false;
        case 0x9:  // ping
            SendFrame(0xA, data, (size_t)len);
            break;
        default:
            break;
        }
    }
    // Keep the buffer from growing without bound.
    if (inpos > 0 && (inpos == inbuf.size() || inpos > 1024 * 1024)) {
        inbuf.erase(0, inpos);
        inpos = 0;
    }
    // A large message leaves a large buffer behind, which a 32-bit process wants back.
    if (inbuf.empty() && inbuf.capacity() > 4 * 1024 * 1024) std::string().swap(inbuf);
    return true;
}

// Takes bytes off the socket and handles the frames they complete. False when the
// connection is to end, also when there is no memory left for what the peer sends.
bool DevToolsConnection::Impl::Consume(const char* data, size_t size) {
    try {
        if (size) inbuf.append(data, size);
        return ParseFrames();
    } catch (const std::bad_alloc&) {
        std::string().swap(inbuf);
        std::string().swap(message);
        inpos = 0;
        return false;
    }
}

}  // namespace cef_internal
