#include <windows.h>

#include "src/flash/relay_protocol.h"

#include <bcrypt.h>
#include <wincrypt.h>
#include <algorithm>
#include <cstring>

namespace cef_internal {

const char kPolicyRequest[] = "<policy-file-request/>";  // the array's own NUL is sent with it

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return (char)tolower((unsigned char)c); });
    return s;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// Host names and IPv4 addresses as a socket may name them: letters, digits,
// dots and dashes, no empty labels.
bool PlainHost(const std::string& host) {
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.' ||
        host.find("..") != std::string::npos)
        return false;
    return host.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") == std::string::npos;
}

int ParsePort(const std::string& s) {
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos) return 0;
    int port = std::stoi(s);
    return port >= 1 && port <= 65535 ? port : 0;
}

// Tokens of a comma-separated header value, lower case.
bool HeaderHasToken(const std::string& value, const std::string& token) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        if (Lower(Trim(value.substr(start, comma - start))) == token) return true;
        start = comma + 1;
    }
    return false;
}

bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= (unsigned char)(a[i] ^ b[i]);
    return diff == 0;
}

// The value of attribute `name` in one tag's text, or false.
bool TagAttribute(const std::string& tag, const std::string& name, std::string* value) {
    size_t at = 0;
    while ((at = tag.find(name, at)) != std::string::npos) {
        bool boundary = at > 0 && isspace((unsigned char)tag[at - 1]);
        size_t p = at + name.size();
        at = p;
        if (!boundary) continue;
        while (p < tag.size() && isspace((unsigned char)tag[p])) ++p;
        if (p >= tag.size() || tag[p] != '=') continue;
        ++p;
        while (p < tag.size() && isspace((unsigned char)tag[p])) ++p;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) continue;
        char quote = tag[p];
        size_t end = tag.find(quote, p + 1);
        if (end == std::string::npos) return false;
        *value = tag.substr(p + 1, end - p - 1);
        return true;
    }
    return false;
}

}  // namespace

// ---- the upgrade request ------------------------------------------------------------------

RelayRequest ParseRelayRequest(const std::string& head, const std::string& token) {
    RelayRequest r;
    size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string::npos) return r;
    std::string line = head.substr(0, lineEnd);
    size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 <= sp1 || line.compare(sp2 + 1, std::string::npos, "HTTP/1.1") != 0) return r;
    if (line.substr(0, sp1) != "GET") {
        r.status = 405;
        return r;
    }
    // "/<token>/<host>/<port>", nothing more.
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::vector<std::string> parts;
    size_t start = 1;
    if (target.empty() || target[0] != '/') return r;
    while (start <= target.size()) {
        size_t slash = target.find('/', start);
        if (slash == std::string::npos) slash = target.size();
        parts.push_back(target.substr(start, slash - start));
        start = slash + 1;
    }
    if (token.empty() || parts.size() != 3 || !SameSecret(parts[0], token)) {
        r.status = 404;
        return r;
    }
    std::string host = Lower(parts[1]);
    int port = ParsePort(parts[2]);
    if (!PlainHost(host) || !port) return r;

    std::string upgrade, connection, version, key, origin;
    size_t pos = lineEnd + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos || end == pos) break;
        std::string header = head.substr(pos, end - pos);
        pos = end + 2;
        size_t colon = header.find(':');
        if (colon == std::string::npos) return r;
        std::string name = Lower(Trim(header.substr(0, colon)));
        std::string value = Trim(header.substr(colon + 1));
        if (name == "upgrade") upgrade = Lower(value);
        else if (name == "connection") connection = value;
        else if (name == "sec-websocket-version") version = value;
        else if (name == "sec-websocket-key") key = value;
        else if (name == "origin") {
            if (!origin.empty()) return r;  // two origins: which one would count?
            origin = value;
        }
    }
    if (upgrade != "websocket" || !HeaderHasToken(connection, "upgrade") || key.size() != 24) return r;
    if (version != "13") {
        r.status = 426;
        return r;
    }
    if (origin.empty()) {
        r.status = 403;
        return r;
    }
    r.status = 0;
    r.host = host;
    r.port = port;
    r.origin = origin;
    r.key = key;
    return r;
}

bool RequestUnderToken(const std::string& head, const std::string& token) {
    size_t from = head.find(' ');
    if (token.empty() || from == std::string::npos || head.compare(from + 1, 1, "/") != 0) return false;
    from += 2;
    size_t end = head.find_first_of("/ \r\n", from);
    return end != std::string::npos && head[end] == '/' && SameSecret(head.substr(from, end - from), token);
}

std::string OriginOfUrl(const std::string& url) {
    size_t colon = url.find("://");
    if (colon == std::string::npos) return std::string();
    std::string scheme = Lower(url.substr(0, colon));
    if (scheme != "http" && scheme != "https") return std::string();
    size_t start = colon + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    authority = Lower(authority);
    size_t portColon = authority.rfind(':');
    if (portColon != std::string::npos && authority.find(']', portColon) == std::string::npos) {
        std::string port = authority.substr(portColon + 1);
        if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443") || port.empty())
            authority = authority.substr(0, portColon);
    }
    if (authority.empty()) return std::string();
    return scheme + "://" + authority;
}

std::string HostOfOrigin(const std::string& origin) {
    std::string canonical = OriginOfUrl(origin);
    if (canonical.empty()) return std::string();
    std::string authority = canonical.substr(canonical.find("://") + 3);
    if (!authority.empty() && authority[0] == '[') return authority.substr(0, authority.find(']') + 1);
    return authority.substr(0, authority.rfind(':') == std::string::npos ? std::string::npos : authority.rfind(':'));
}

std::string WebSocketAccept(const std::string& key) {
    static const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string input = key + kGuid;
    unsigned char digest[20] = {0};
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, 0) == 0;
    ok = ok && BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    ok = ok && BCryptHashData(hash, (PUCHAR)input.data(), (ULONG)input.size(), 0) == 0;
    ok = ok && BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok) return std::string();
    DWORD chars = 0;
    if (!CryptBinaryToStringA(digest, sizeof(digest), CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &chars))
        return std::string();
    std::string out(chars, '\0');
    if (!CryptBinaryToStringA(digest, sizeof(digest), CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, &out[0], &chars))
        return std::string();
    out.resize(chars);
    while (!out.empty() && (out.back() == '\0' || out.back() == '\r' || out.back() == '\n')) out.pop_back();
    return out;
}

std::string WebSocketSwitchAnswer(const std::string& accept) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
}

std::string HttpRefusal(int status) {
    const char* text = status == 403 ? "Forbidden" : status == 404 ? "Not Found" : status == 405 ? "Method Not Allowed"
                     : status == 426 ? "Upgrade Required" : status == 502 ? "Bad Gateway"
                     : status == 503 ? "Service Unavailable" : "Bad Request";
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + text + "\r\nConnection: close\r\n";
    if (status == 426) answer += "Sec-WebSocket-Version: 13\r\n";
    return answer + "Content-Length: 0\r\n\r\n";
}

// ---- frames ---------------------------------------------------------------------------------

std::string WebSocketFrameHead(int opcode, uint64_t size) {
    std::string head;
    head += (char)(0x80 | (opcode & 0x0F));
    if (size < 126) {
        head += (char)size;
    } else if (size < 65536) {
        head += (char)126;
        head += (char)(size >> 8);
        head += (char)(size & 0xFF);
    } else {
        head += (char)127;
        for (int i = 7; i >= 0; --i) head += (char)((size >> (8 * i)) & 0xFF);
    }
    return head;
}

std::string WebSocketCloseFrame(uint16_t code) {
    if (!code) return WebSocketFrameHead(kWsClose, 0);
    std::string frame = WebSocketFrameHead(kWsClose, 2);
    frame += (char)(code >> 8);
    frame += (char)(code & 0xFF);
    return frame;
}

bool WebSocketReader::ParseHead() {
    // Called with the first two bytes, and again once the whole head is in.
    unsigned char b0 = head_[0], b1 = head_[1];
    if (b0 & 0x70) return false;        // no extension was agreed
    if (!(b1 & 0x80)) return false;     // a client masks every frame
    size_t lenField = b1 & 0x7F;
    size_t wanted = 2 + (lenField == 126 ? 2 : lenField == 127 ? 8 : 0) + 4;
    if (headSize_ < wanted) {
        headWanted_ = wanted;
        return true;
    }
    opcode_ = b0 & 0x0F;
    fin_ = (b0 & 0x80) != 0;
    uint64_t len = lenField;
    if (lenField == 126) len = ((uint64_t)head_[2] << 8) | head_[3];
    if (lenField == 127) {
        len = 0;
        for (int i = 0; i < 8; ++i) len = (len << 8) | head_[2 + i];
        if (len >> 63) return false;
    }
    memcpy(mask_, head_ + wanted - 4, 4);
    maskAt_ = 0;
    remaining_ = len;
    if (opcode_ >= 8) {
        if (!fin_ || len > 125 || (opcode_ != kWsClose && opcode_ != kWsPing && opcode_ != kWsPong)) return false;
        control_.clear();
    } else if (opcode_ == kWsContinuation) {
        if (!inMessage_) return false;
        inMessage_ = !fin_;
    } else if (opcode_ == kWsText || opcode_ == kWsBinary) {
        if (inMessage_) return false;  // a new message before the last one ended
        inMessage_ = !fin_;
    } else {
        return false;
    }
    inPayload_ = true;
    return true;
}

WebSocketReader::Status WebSocketReader::Feed(const char** data, size_t* size, std::string* payload) {
    if (done_) return kFail;
    while (*size > 0 || (inPayload_ && remaining_ == 0)) {
        if (!inPayload_) {
            size_t take = std::min(*size, headWanted_ - headSize_);
            memcpy(head_ + headSize_, *data, take);
            headSize_ += take;
            *data += take;
            *size -= take;
            if (headSize_ < headWanted_) continue;
            if (!ParseHead()) {
                done_ = true;
                return kFail;
            }
            continue;
        }
        size_t take = (size_t)std::min<uint64_t>(remaining_, *size);
        const unsigned char* in = (const unsigned char*)*data;
        std::string* out = opcode_ >= 8 ? &control_ : payload;
        size_t base = out->size();
        out->resize(base + take);
        char* dst = &(*out)[base];
        for (size_t i = 0; i < take; ++i) dst[i] = (char)(in[i] ^ mask_[(maskAt_ + i) & 3]);
        maskAt_ = (unsigned)((maskAt_ + take) & 3);
        *data += take;
        *size -= take;
        remaining_ -= take;
        if (remaining_ > 0) continue;
        // The frame is whole.
        inPayload_ = false;
        headSize_ = 0;
        headWanted_ = 2;
        if (opcode_ == kWsPing) return kPing;
        if (opcode_ == kWsClose) {
            done_ = true;
            if (control_.size() == 1) return kFail;
            closeCode_ = control_.size() >= 2 ? (uint16_t)(((unsigned char)control_[0] << 8) | (unsigned char)control_[1])
                                              : 1005;
            return kClose;
        }
    }
    return kNeedMore;
}

// ---- socket policies --------------------------------------------------------------------------

std::vector<std::pair<int, int>> ParsePolicyPorts(const std::string& value) {
    std::vector<std::pair<int, int>> ranges;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        std::string part = Trim(value.substr(start, comma - start));
        start = comma + 1;
        if (part == "*") {
            ranges.push_back({1, 65535});
            continue;
        }
        size_t dash = part.find('-');
        int lo = ParsePort(Trim(part.substr(0, dash)));
        int hi = dash == std::string::npos ? lo : ParsePort(Trim(part.substr(dash + 1)));
        if (lo && hi && lo <= hi) ranges.push_back({lo, hi});
    }
    return ranges;
}

SocketPolicy ParseSocketPolicy(const std::string& answer) {
    SocketPolicy policy;
    std::string text = answer.substr(0, answer.find('\0'));
    // Comments hide what they hold.
    for (size_t c = text.find("<!--"); c != std::string::npos; c = text.find("<!--", c)) {
        size_t end = text.find("-->", c + 4);
        text.erase(c, end == std::string::npos ? std::string::npos : end + 3 - c);
    }
    size_t root = text.find("<cross-domain-policy");
    if (root == std::string::npos) return policy;
    size_t rootEnd = text.find("</cross-domain-policy>", root);
    if (rootEnd == std::string::npos) {
        // A root that closes itself holds no rules; one that never closes is no document.
        size_t close = text.find('>', root);
        if (close == std::string::npos || text[close - 1] != '/') return policy;
        policy.found = true;
        return policy;
    }
    policy.found = true;
    size_t pos = root;
    while ((pos = text.find('<', pos + 1)) != std::string::npos && pos < rootEnd) {
        size_t end = text.find('>', pos);
        if (end == std::string::npos) break;
        std::string tag = text.substr(pos + 1, end - pos - 1);
        size_t nameEnd = tag.find_first_of(" \t\r\n/");
        std::string name = tag.substr(0, nameEnd);
        std::string value;
        if (name == "allow-access-from") {
            SocketPolicy::Rule rule;
            if (!TagAttribute(tag, "domain", &rule.domain)) continue;
            rule.domain = Lower(Trim(rule.domain));
            if (TagAttribute(tag, "to-ports", &value)) rule.ports = ParsePolicyPorts(value);
            if (!rule.domain.empty() && !rule.ports.empty()) policy.rules.push_back(rule);
        } else if (name == "site-control" && TagAttribute(tag, "permitted-cross-domain-policies", &value)) {
            policy.siteControl = Lower(Trim(value));
        }
    }
    return policy;
}

bool PolicyDomainMatches(const std::string& pattern, const std::string& rawHost) {
    std::string host = Lower(rawHost);
    if (pattern == "*") return true;
    if (pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0) {
        std::string base = pattern.substr(2);
        if (base.find('*') != std::string::npos) return false;
        return host == base || (host.size() > base.size() + 1 &&
                                host.compare(host.size() - base.size() - 1, std::string::npos, "." + base) == 0);
    }
    return pattern == host;
}

bool PolicyAdmits(const SocketPolicy& policy, const std::string& host, int port) {
    if (!policy.found || host.empty()) return false;
    for (const SocketPolicy::Rule& rule : policy.rules) {
        if (!PolicyDomainMatches(rule.domain, host)) continue;
        for (const auto& range : rule.ports)
            if (port >= range.first && port <= range.second) return true;
    }
    return false;
}

PolicyStep MasterPolicyDecides(const SocketPolicy& master, const std::string& host, int port) {
    if (!master.found) return PolicyStep::kAskPort;
    if (master.siteControl == "none") return PolicyStep::kRefused;
    if (PolicyAdmits(master, host, port)) return PolicyStep::kAllowed;
    return master.siteControl == "master-only" ? PolicyStep::kRefused : PolicyStep::kAskPort;
}

}  // namespace cef_internal
