// The form process messages take on the pipe between the browser process and a
// render process. A frame is a 32-bit little-endian length followed by that many
// bytes: the name (32-bit count of UTF-16 units, the units), the number of
// arguments, then each argument as a type byte and its value (bool: one byte;
// int: 32 bits; double: 64 bits; string: count and UTF-16 units). Strings travel
// as UTF-16; what arrives is well-formed UTF-16 (a lone surrogate is dropped), as
// the engine's own lists would hold it.
//
// The render process's DevTools session shares the pipe: a frame whose length has
// its top bit set carries one DevTools message (UTF-8 JSON) instead.
#pragma once

#include <string>
#include <vector>
#include "include/cef_process_message.h"

namespace cef_internal {

// A frame announcing more than this is a broken or hostile peer.
const size_t kMaxWireFrame = 16u * 1024 * 1024;
// Nor does a message carry more arguments than this; each costs far more in a
// list than its byte on the wire.
const size_t kMaxWireArguments = 65536;

// The whole frame, length prefix included. Empty for a null message and for one
// the peer would refuse (a body over kMaxWireFrame, too many arguments).
std::string EncodeProcessMessage(CefRefPtr<CefProcessMessage> message);

// Decodes one frame body (without its length prefix); null when it is malformed.
CefRefPtr<CefProcessMessage> DecodeProcessMessage(const char* data, size_t size);

// A frame carrying one DevTools message; empty when it is over kMaxWireFrame.
std::string EncodeDevToolsFrame(const std::string& text);

// Drops the halves of surrogate pairs that have no other half.
std::wstring WellFormedUtf16(const std::wstring& text);

// Collects bytes as they come off the pipe and hands out whole frames.
class WireReader {
public:
    void Append(const char* data, size_t size) { buffer_.append(data, size); }
    // Moves the next complete frame body into `body`. Returns false when none is
    // complete yet; sets `*broken` when the stream can no longer be trusted.
    // `*devtools` tells a DevTools frame from a process message; without it a
    // DevTools frame breaks the stream.
    bool Next(std::string* body, bool* broken, bool* devtools = nullptr);

private:
    std::string buffer_;
};

}  // namespace cef_internal
