// What a page may read from another origin now that the engine enforces the
// same-origin rules again. Two grants, both made by editing the answer's headers
// while the engine holds it (Fetch domain, on the engine line's reader thread):
//
//  - the program's own origins (the "own-hosts" switch: host[:port] entries,
//    comma-separated) read one another, with the player's cookies, as they did
//    when the engine ran without web security;
//  - a fetch() may read a Flash movie or a picture from anywhere: the Flash
//    emulator loads movies and their pictures through fetch(), and Flash Player
//    loaded those from wherever a page embedded them. (The engine holds every
//    fetch() answer but XMLHttpRequest answers from own hosts only, so other
//    sites' movies are read through fetch() alone.)
//
// Everything else keeps the engine's answer: a foreign frame reads nothing of ours.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace cef_internal {

struct OriginParts {
    std::string scheme;  // lower case
    std::string host;    // lower case, IPv6 without brackets
    int port = 0;        // explicit or the scheme's default
};
// "http://Host:80/x" -> {http, host, 80}; false for anything but http(s) with a host.
bool ParseOrigin(const std::string& url, OriginParts* out);

class CrossOriginGrants {
public:
    CrossOriginGrants() = default;
    // `ownHosts` as the switch carries it; empty entries and garbage are skipped.
    explicit CrossOriginGrants(const std::string& ownHosts);

    bool IsOwn(const OriginParts& origin) const;

    // The headers to answer with when the request from `requestOrigin` (its Origin
    // header) to `url` is to be let read, given the answer's own headers; false when
    // the engine's answer stands as it is.
    bool Grant(const std::string& url, const std::string& requestOrigin, const nlohmann::json& responseHeaders,
               nlohmann::json* newHeaders) const;

    // When Grant says no: whether the answer is one of another site's to a page of
    // ours, which the site's Flash policy file may still let read (crossdomain_policy.h);
    // its origin then in `siteOrigin`, the page's host in `pageHost`.
    bool AsksSitePolicy(const std::string& url, const std::string& requestOrigin,
                        const nlohmann::json& responseHeaders, std::string* siteOrigin, std::string* pageHost) const;

    // The answer's headers with the read granted to `requestOrigin`, with credentials.
    static nlohmann::json GrantedHeaders(const nlohmann::json& responseHeaders, const std::string& requestOrigin);

    // Fetch-domain patterns for what may need a grant: every fetch() answer, and
    // XMLHttpRequest answers from own hosts only. (The engine does not hold CORS
    // preflights: a request between own hosts that needs one is answered by the
    // site itself or fails.)
    nlohmann::json Patterns() const;

private:
    struct Entry {
        std::string host;
        int port;  // 0: the scheme's default port
    };
    std::vector<Entry> own_;
};

// Case-insensitive header lookup in a DevTools header object ({name: value}) or
// entry list ([{name, value}]); empty when absent.
std::string HeaderValue(const nlohmann::json& headers, const std::string& name);

}  // namespace cef_internal
