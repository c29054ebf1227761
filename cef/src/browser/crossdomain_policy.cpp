#include "src/browser/crossdomain_policy.h"

#include <wininet.h>
#include <algorithm>
#include <cctype>

namespace cef_internal {
namespace {

const size_t kMaxPolicy = 64 * 1024;
const DWORD kFetchTimeoutMs = 5000;
const size_t kMaxKnown = 256;   // sites remembered; past that, new ones are refused
const size_t kMaxInFlight = 4;  // fetches at once; past that, refused

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return (char)tolower((unsigned char)c); });
    return s;
}

// The value of attribute `name` in one tag's text, empty when absent.
std::string Attribute(const std::string& tag, const std::string& name) {
    for (size_t at = tag.find(name); at != std::string::npos; at = tag.find(name, at + 1)) {
        if (at > 0 && !isspace((unsigned char)tag[at - 1])) continue;
        size_t eq = tag.find_first_not_of(" \t\r\n", at + name.size());
        if (eq == std::string::npos || tag[eq] != '=') continue;
        size_t q = tag.find_first_not_of(" \t\r\n", eq + 1);
        if (q == std::string::npos || (tag[q] != '"' && tag[q] != '\'')) continue;
        size_t end = tag.find(tag[q], q + 1);
        if (end == std::string::npos) return std::string();
        return tag.substr(q + 1, end - q - 1);
    }
    return std::string();
}

}  // namespace

bool CrossDomainPolicyAdmits(const std::string& xml, const std::string& host) {
    std::string text = Lower(xml);
    std::string want = Lower(host);
    if (want.empty()) return false;
    bool admitted = false;
    for (size_t open = text.find('<'); open != std::string::npos; open = text.find('<', open + 1)) {
        size_t close = text.find('>', open);
        if (close == std::string::npos) break;
        std::string tag = text.substr(open + 1, close - open - 1);
        if (tag.compare(0, 12, "site-control") == 0 &&
            Attribute(tag, "permitted-cross-domain-policies") == "none")
            return false;
        if (tag.compare(0, 17, "allow-access-from") != 0) continue;
        std::string domain = Attribute(tag, "domain");
        if (domain == "*" || domain == want) admitted = true;
        else if (domain.size() > 2 && domain.compare(0, 2, "*.") == 0) {
            std::string suffix = domain.substr(1);  // ".example.com"
            if (want.size() > suffix.size() && want.compare(want.size() - suffix.size(), suffix.size(), suffix) == 0)
                admitted = true;
        }
    }
    return admitted;
}

struct CrossDomainPolicies::Fetch {
    CrossDomainPolicies* owner;
    std::string origin;
};

CrossDomainPolicies::~CrossDomainPolicies() {
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        threads.swap(threads_);
        // Closing the session ends every request on it at once.
        if (internet_) InternetCloseHandle((HINTERNET)internet_);
        internet_ = nullptr;
    }
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}

void CrossDomainPolicies::Get(const std::string& origin, Answer answer) {
    std::unique_lock<std::mutex> guard(lock_);
    auto known = known_.find(origin);
    bool refuse = stopping_ || (known == known_.end() && waiting_.find(origin) == waiting_.end() &&
                                (known_.size() >= kMaxKnown || waiting_.size() >= kMaxInFlight));
    if (known != known_.end() || refuse) {
        std::string xml = known != known_.end() ? known->second : std::string();
        guard.unlock();
        answer(xml);
        return;
    }
    auto& list = waiting_[origin];
    list.push_back(std::move(answer));
    if (list.size() > 1) return;  // already being fetched
    if (!internet_) {
        internet_ = InternetOpenW(L"Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (internet_) {
            DWORD timeout = kFetchTimeoutMs;
            for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
                InternetSetOptionW((HINTERNET)internet_, option, &timeout, sizeof(timeout));
        }
    }
    // Threads that have ended are let go here, so their handles do not pile up.
    threads_.erase(std::remove_if(threads_.begin(), threads_.end(),
                                  [](HANDLE t) {
                                      if (WaitForSingleObject(t, 0) != WAIT_OBJECT_0) return false;
                                      CloseHandle(t);
                                      return true;
                                  }),
                   threads_.end());
    HANDLE t = internet_ ? CreateThread(nullptr, 64 * 1024, FetchMain, new Fetch{this, origin},
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                         : nullptr;
    if (t) {
        threads_.push_back(t);
        return;
    }
    // No fetch: nobody is admitted.
    std::vector<Answer> answers;
    answers.swap(list);
    waiting_.erase(origin);
    guard.unlock();
    for (Answer& a : answers) a(std::string());
}

DWORD WINAPI CrossDomainPolicies::FetchMain(LPVOID param) {
    std::unique_ptr<Fetch> f(static_cast<Fetch*>(param));
    CrossDomainPolicies* self = f->owner;
    std::string xml;
    HINTERNET internet;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        internet = self->stopping_ ? nullptr : (HINTERNET)self->internet_;
    }
    std::wstring url(f->origin.begin(), f->origin.end());
    url += L"/crossdomain.xml";
    HINTERNET request = internet ? InternetOpenUrlW(internet, url.c_str(), nullptr, 0,
                                                    INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                                        INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_RELOAD |
                                                        INTERNET_FLAG_NO_CACHE_WRITE,
                                                    0)
                                 : nullptr;
    if (request) {
        DWORD status = 0, size = sizeof(status);
        bool ok = HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) &&
                  status == 200;
        char buf[8192];
        DWORD got = 0;
        while (ok && InternetReadFile(request, buf, sizeof(buf), &got) && got > 0) {
            if (xml.size() + got > kMaxPolicy) {
                xml.clear();
                break;
            }
            xml.append(buf, got);
        }
        if (!ok) xml.clear();
        InternetCloseHandle(request);
    }
    std::vector<Answer> answers;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        if (self->known_.size() < kMaxKnown) self->known_[f->origin] = xml;
        auto it = self->waiting_.find(f->origin);
        if (it != self->waiting_.end()) {
            answers.swap(it->second);
            self->waiting_.erase(it);
        }
    }
    for (Answer& a : answers) a(xml);
    return 0;
}

}  // namespace cef_internal
