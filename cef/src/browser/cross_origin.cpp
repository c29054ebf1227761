#include "src/browser/cross_origin.h"

#include <algorithm>
#include <cctype>

using nlohmann::json;

namespace cef_internal {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return (char)tolower((unsigned char)c); });
    return s;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return std::string();
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

int DefaultPort(const std::string& scheme) { return scheme == "https" ? 443 : 80; }

// "host", "host:port", "[v6]:port" -> host and port (0 when none); false for garbage.
bool SplitHostPort(const std::string& text, std::string* host, int* port) {
    *port = 0;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        *host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        *host = text.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : text.substr(colon);
    }
    if (host->empty() || host->find_first_of("/?#@ \\") != std::string::npos) return false;
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
        long value = 0;
        for (size_t i = 1; i < rest.size(); ++i) {
            if (!isdigit((unsigned char)rest[i])) return false;
            value = value * 10 + (rest[i] - '0');
        }
        if (value < 1 || value > 65535) return false;
        *port = (int)value;
    }
    *host = Lower(*host);
    return true;
}

const char* kGranted[] = {"access-control-allow-origin", "access-control-allow-credentials"};

// What Flash Player loaded from any site without asking it: movies and pictures.
bool FlashLoadsFromAnywhere(const std::string& contentType) {
    std::string type = Lower(Trim(contentType.substr(0, contentType.find(';'))));
    return type == "application/x-shockwave-flash" || type == "application/futuresplash" || type == "image/png" ||
           type == "image/jpeg" || type == "image/gif";
}

}  // namespace

bool ParseOrigin(const std::string& url, OriginParts* out) {
    size_t colon = url.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = Lower(url.substr(0, colon));
    if (scheme != "http" && scheme != "https") return false;
    size_t start = colon + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (authority.find('@') != std::string::npos) return false;
    OriginParts parts;
    parts.scheme = scheme;
    if (!SplitHostPort(authority, &parts.host, &parts.port)) return false;
    if (!parts.port) parts.port = DefaultPort(scheme);
    *out = parts;
    return true;
}

std::string HeaderValue(const json& headers, const std::string& name) {
    std::string want = Lower(name);
    if (headers.is_object()) {
        for (auto it = headers.begin(); it != headers.end(); ++it)
            if (Lower(it.key()) == want && it.value().is_string()) return it.value().get<std::string>();
    } else if (headers.is_array()) {
        for (const json& h : headers) {
            if (!h.is_object()) continue;
            auto n = h.find("name");
            auto v = h.find("value");
            if (n != h.end() && v != h.end() && n->is_string() && v->is_string() && Lower(n->get<std::string>()) == want)
                return v->get<std::string>();
        }
    }
    return std::string();
}

CrossOriginGrants::CrossOriginGrants(const std::string& ownHosts) {
    size_t start = 0;
    while (start <= ownHosts.size()) {
        size_t comma = ownHosts.find(',', start);
        std::string item = Trim(ownHosts.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        Entry e;
        if (!item.empty() && SplitHostPort(item, &e.host, &e.port)) own_.push_back(e);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

bool CrossOriginGrants::IsOwn(const OriginParts& origin) const {
    for (const Entry& e : own_)
        if (e.host == origin.host && (e.port ? e.port : DefaultPort(origin.scheme)) == origin.port) return true;
    return false;
}

bool CrossOriginGrants::Grant(const std::string& url, const std::string& requestOrigin, const json& responseHeaders,
                              json* newHeaders) const {
    OriginParts from, to;
    // No Origin (or "null"): same-origin GETs and no-cors loads, which need nothing.
    if (requestOrigin.empty() || !ParseOrigin(requestOrigin, &from) || !ParseOrigin(url, &to)) return false;
    if (from.scheme == to.scheme && from.host == to.host && from.port == to.port) return false;
    // The answering site has said itself who may read it.
    if (!HeaderValue(responseHeaders, "access-control-allow-origin").empty()) return false;
    bool own = IsOwn(from) && IsOwn(to);
    if (!own && !FlashLoadsFromAnywhere(HeaderValue(responseHeaders, "content-type"))) return false;
    *newHeaders = GrantedHeaders(responseHeaders, requestOrigin);
    return true;
}

json CrossOriginGrants::GrantedHeaders(const json& responseHeaders, const std::string& requestOrigin) {
    json out = json::array();
    if (responseHeaders.is_array()) {
        for (const json& h : responseHeaders) {
            std::string name = Lower(h.value("name", std::string()));
            if (std::find(std::begin(kGranted), std::end(kGranted), name) == std::end(kGranted)) out.push_back(h);
        }
    }
    out.push_back({{"name", "Access-Control-Allow-Origin"}, {"value", requestOrigin}});
    out.push_back({{"name", "Access-Control-Allow-Credentials"}, {"value", "true"}});
    out.push_back({{"name", "Vary"}, {"value", "Origin"}});
    return out;
}

bool CrossOriginGrants::AsksSitePolicy(const std::string& url, const std::string& requestOrigin,
                                       const json& responseHeaders, std::string* siteOrigin,
                                       std::string* pageHost) const {
    OriginParts from, to;
    if (requestOrigin.empty() || !ParseOrigin(requestOrigin, &from) || !ParseOrigin(url, &to)) return false;
    if (!IsOwn(from) || IsOwn(to)) return false;
    if (!HeaderValue(responseHeaders, "access-control-allow-origin").empty()) return false;
    std::string host = to.host.find(':') != std::string::npos ? "[" + to.host + "]" : to.host;
    *siteOrigin = to.scheme + "://" + host + ":" + std::to_string(to.port);
    *pageHost = from.host;
    return true;
}

json CrossOriginGrants::Patterns() const {
    json patterns = json::array({{{"urlPattern", "*"}, {"resourceType", "Fetch"}, {"requestStage", "Response"}}});
    for (const Entry& e : own_) {
        std::string host = e.host.find(':') != std::string::npos ? "[" + e.host + "]" : e.host;
        if (e.port) host += ":" + std::to_string(e.port);
        for (const char* scheme : {"http://", "https://"}) {
            std::string url = std::string(scheme) + host + "/*";
            patterns.push_back({{"urlPattern", url}, {"resourceType", "XHR"}, {"requestStage", "Response"}});
        }
    }
    return patterns;
}

}  // namespace cef_internal
