#include "frame/EngineGate.h"

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
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(1, &left_, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0) break;
        if (woken != WAIT_OBJECT_0 + 1) break;  // the wait itself failed: do not hang
        // Delivers the messages other threads are sending to this thread's windows.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
