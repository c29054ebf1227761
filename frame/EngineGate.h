// Admission of the browser engine's thread into the game frame.
//
// The engine calls the frame's handlers on its own UI thread, and it may still
// hold the client handler (and so the bound handlers) after the frame window
// is gone. Every handler enters the gate first and does nothing when it is
// closed; the frame closes the gate on the main thread before its members go
// away, and Close waits until no handler is inside any more.
#pragma once

#include <windows.h>
#include <mutex>

class CEngineGate {
public:
    CEngineGate();
    ~CEngineGate();

    // Engine thread: true when the frame may be used until Leave.
    bool Enter();
    void Leave();
    // Main thread: refuses new entries and returns once running ones have
    // left. While it waits it serves messages sent from other threads, since a
    // handler inside may be moving one of the main thread's windows.
    void Close();
    bool IsClosed();

    // Enter and Leave for one scope.
    class Pass {
    public:
        explicit Pass(CEngineGate& gate) : gate_(gate), entered_(gate.Enter()) {}
        ~Pass() {
            if (entered_) gate_.Leave();
        }
        explicit operator bool() const { return entered_; }

    private:
        CEngineGate& gate_;
        bool entered_;
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
    };

private:
    std::mutex lock_;
    int inside_;
    bool closed_;
    HANDLE left_;  // signalled when the last handler leaves a closed gate

    CEngineGate(const CEngineGate&) = delete;
    CEngineGate& operator=(const CEngineGate&) = delete;
};
