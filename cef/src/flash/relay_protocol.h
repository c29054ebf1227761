// The socket relay's protocols, as pure functions: the WebSocket server side the
// Flash emulator talks to (the upgrade request, the accept key, frames in and
// out) and Flash Player's socket policies (parsed, and matched against the
// movie's host and the port asked for). No sockets here; socket_relay.cpp
// carries them out.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cef_internal {

// ---- the upgrade request --------------------------------------------------------------

// What the relay makes of a request head (up to and including its empty line)
// for "GET /<token>/<host>/<port>".
struct RelayRequest {
    int status = 400;     // 0: a well-formed upgrade under the token; else the status it is refused with
    std::string host;     // the target, lower case (host names and IPv4 addresses only)
    int port = 0;         // 1..65535
    std::string origin;   // the page's, as the engine sent it
    std::string key;      // Sec-WebSocket-Key
};
RelayRequest ParseRelayRequest(const std::string& head, const std::string& token);
// Whether a request head's target starts with "/<token>/": the relay's to answer,
// whatever else is wrong with it.
bool RequestUnderToken(const std::string& head, const std::string& token);

// "http://Example.com:80/a?b" -> "http://example.com": the origin a document at
// that address sends, for http and https; empty for anything else.
std::string OriginOfUrl(const std::string& url);
// "http://example.com:8080" -> "example.com"; empty when it is no http(s) origin.
std::string HostOfOrigin(const std::string& origin);

// Sec-WebSocket-Accept for a key: base64(SHA-1(key + the protocol's GUID)); empty when
// the platform's hash is not to be had.
std::string WebSocketAccept(const std::string& key);
// The answers to an upgrade: the switch, and a refusal (which the engine reports
// to the page as a failed connection).
std::string WebSocketSwitchAnswer(const std::string& accept);
std::string HttpRefusal(int status);

// ---- frames -----------------------------------------------------------------------------

enum WebSocketOpcode { kWsContinuation = 0, kWsText = 1, kWsBinary = 2, kWsClose = 8, kWsPing = 9, kWsPong = 10 };

// A server frame's head (final, unmasked) for a payload of `size` bytes.
std::string WebSocketFrameHead(int opcode, uint64_t size);
// A whole close frame with its status code (none for 0).
std::string WebSocketCloseFrame(uint16_t code);

// The frames a client sends, taken apart as the bytes come. Data frames are not
// gathered: their payload is unmasked and handed on as it arrives, so what a
// connection holds does not grow with the size of a message. Control frames (at
// most 125 bytes, never fragmented) are gathered whole.
class WebSocketReader {
public:
    enum Status {
        kNeedMore,  // every byte taken
        kPing,      // a whole ping: ControlPayload() is to be echoed in a pong
        kClose,     // a whole close: CloseCode() (1005 when none was given)
        kFail,      // a protocol fault: the connection ends with 1002
    };
    // Takes bytes from *data/*size, appending data payload to *payload, until they
    // run out or a control frame that needs an answer is whole (the bytes after it
    // stay in *data/*size). After kClose or kFail it takes nothing more.
    Status Feed(const char** data, size_t* size, std::string* payload);
    const std::string& ControlPayload() const { return control_; }
    uint16_t CloseCode() const { return closeCode_; }

private:
    bool ParseHead();

    unsigned char head_[14];
    size_t headSize_ = 0;
    size_t headWanted_ = 2;
    int opcode_ = 0;
    bool fin_ = false;
    uint64_t remaining_ = 0;  // payload bytes of the current frame still to come
    unsigned char mask_[4] = {0, 0, 0, 0};
    unsigned maskAt_ = 0;
    bool inPayload_ = false;
    bool inMessage_ = false;  // a fragmented data message is under way
    bool done_ = false;
    std::string control_;
    uint16_t closeCode_ = 1005;
};

// ---- socket policies ----------------------------------------------------------------------

// Flash Player's request for a socket policy, and how much of an answer it read.
extern const char kPolicyRequest[];      // "<policy-file-request/>" and its NUL
const size_t kPolicyRequestSize = 23;
const size_t kMaxPolicySize = 20 * 1024;

struct SocketPolicy {
    bool found = false;  // a cross-domain-policy document came
    // site-control's permitted-cross-domain-policies (master policy only): "all",
    // "master-only" or "none"; "all" when not given.
    std::string siteControl = "all";
    struct Rule {
        std::string domain;                       // lower case: "*", "*.example.com", "example.com", an address
        std::vector<std::pair<int, int>> ports;   // inclusive ranges; "*" is 1-65535
    };
    std::vector<Rule> rules;
};
// The policy in what a server answered (up to its NUL); found=false when it is none.
SocketPolicy ParseSocketPolicy(const std::string& text);
// Whether a rule's domain pattern covers the movie's host.
bool PolicyDomainMatches(const std::string& pattern, const std::string& host);
// Whether the policy lets a movie from `host` connect to `port`.
bool PolicyAdmits(const SocketPolicy& policy, const std::string& host, int port);
// A to-ports value as ranges; invalid parts are left out.
std::vector<std::pair<int, int>> ParsePolicyPorts(const std::string& value);

// The decision from what the target published: the master policy (port 843) and,
// unless it forbids the others, the target port's own.
enum class PolicyStep { kAllowed, kRefused, kAskPort };
PolicyStep MasterPolicyDecides(const SocketPolicy& master, const std::string& host, int port);

}  // namespace cef_internal
