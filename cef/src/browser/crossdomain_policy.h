// Flash Player's rule for data from another site: a movie may read it only when
// that site's /crossdomain.xml admits the movie's host. The game's own pages get
// the same from the Flash emulator (whose loads are fetch() calls of the page):
// a fetch() from one of the build's own origins to another site is let read when
// the site's policy file admits the page's host. Pages of other sites never get
// this: a policy that admits everybody must not open the player's own sites.
#pragma once

#include <windows.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cef_internal {

// Whether the policy file's text admits `host`: an <allow-access-from domain="...">
// of "*", of the host itself or of a "*.suffix" it ends in, and no
// <site-control permitted-cross-domain-policies="none">.
bool CrossDomainPolicyAdmits(const std::string& xml, const std::string& host);

// The policy files of sites, fetched once each (without cookies, at most 64 KB,
// 5 s) on a worker thread and kept for the engine's life.
class CrossDomainPolicies {
public:
    // Called with the policy's text (empty when there is none); on the worker
    // thread, or at once on the caller's when the policy is known.
    typedef std::function<void(const std::string& xml)> Answer;

    CrossDomainPolicies() = default;
    ~CrossDomainPolicies();  // ends fetches in flight and waits for their threads

    // `origin`: "http(s)://host:port". Any thread.
    void Get(const std::string& origin, Answer answer);

    CrossDomainPolicies(const CrossDomainPolicies&) = delete;
    CrossDomainPolicies& operator=(const CrossDomainPolicies&) = delete;

private:
    struct Fetch;
    static DWORD WINAPI FetchMain(LPVOID param);

    std::mutex lock_;  // everything below: shared by the callers and the worker threads
    bool stopping_ = false;
    std::map<std::string, std::string> known_;                 // origin -> policy text
    std::map<std::string, std::vector<Answer>> waiting_;       // origin -> answers to give
    std::vector<HANDLE> threads_;
    void* internet_ = nullptr;  // the WinINet session, closed to end fetches at once
};

}  // namespace cef_internal
