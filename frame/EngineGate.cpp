#include "frame/EngineGate.h"

#include "base/MessageWait.h"

CEngineGate::CEngineGate() : inside_(0), closed_(false), left_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CEngineGate::~CEngineGate() {
    if (left_) CloseHandle(left_);
}

bool CEngineGate::Enter() {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return false;
    ++inside_;
    return true;
}

void CEngineGate::Leave() {
    std::lock_guard<std::mutex> guard(lock_);
    if (--inside_ == 0 && closed_ && left_) SetEvent(left_);
}

bool CEngineGate::IsClosed() {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

void CEngineGate::Close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        if (inside_ == 0) return;
    }
    // A handler inside may be moving one of this thread's windows; a failed wait returns.
    base::WaitServingSentMessages(&left_, 1);
}
