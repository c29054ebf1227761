#include "src/render_host.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>
#include "base/Diagnostics.h"
#include "include/cef_command_line.h"
#include "src/cef_context.h"
#include "src/process_message_wire.h"
#include "src/render_switches.h"

namespace cef_internal {

namespace {

const DWORD kPipeBuffer = 64 * 1024;
// How long a render process may take to leave on its own once its pipe is gone.
const DWORD kExitGraceMs = 2000;

std::wstring ModulePath() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), (DWORD)path.size());
        if (n == 0) return std::wstring();
        if (n < path.size()) return std::wstring(path.data(), n);
        if (path.size() >= 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

// A name no other pipe of this or another process has.
std::wstring NewPipeName(int browserId) {
    static std::atomic<unsigned> counter(0);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    wchar_t name[128];
    _snwprintf(name, 128, L"\\\\.\\pipe\\vornmark.render.%lu.%d.%u.%08lx%08lx", GetCurrentProcessId(), browserId,
               ++counter, (unsigned long)now.HighPart, (unsigned long)now.LowPart);
    name[127] = 0;
    return name;
}

HANDLE CreateServerPipe(const std::wstring& name) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE pipe = CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                                PIPE_REJECT_REMOTE_CLIENTS,
                                   1, kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)  // systems that do not know the remote-client flag
        pipe = CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                kPipeBuffer, kPipeBuffer, 0, nullptr);
    return pipe;
}

}  // namespace

// Threads: Send() runs on any thread; everything else on the pipe happens on the
// host's own I/O thread, which alone reads and writes. `lock` guards `outgoing`
// and `closed`, the only data both sides touch.
struct RenderHost::Impl {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE process = nullptr;
    DWORD pid = 0;
    HANDLE thread = nullptr;
    HANDLE stopEvent = nullptr;   // manual reset: the host is going away
    HANDLE queueEvent = nullptr;  // auto reset: Send() queued a frame
    std::function<void(CefRefPtr<CefProcessMessage>)> onMessage;
    // Cleared when the host goes; messages still queued for the UI thread are then dropped.
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);

    std::mutex lock;
    std::deque<std::string> outgoing;
    bool closed = false;

    static DWORD WINAPI ThreadMain(LPVOID self) {
        static_cast<Impl*>(self)->Run();
        return 0;
    }

    void Deliver(CefRefPtr<CefProcessMessage> message) {
        std::function<void(CefRefPtr<CefProcessMessage>)> callback = onMessage;
        std::shared_ptr<std::atomic<bool>> live = alive;
        if (!callback) return;
        PostUiTask([callback, live, message] {
            if (live->load()) callback(message);
        });
    }

    bool WaitForClient() {
        OVERLAPPED connect = {};
        connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!connect.hEvent) return false;
        bool connected = false;
        if (ConnectNamedPipe(pipe, &connect)) {
            connected = true;
        } else {
            DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                connected = true;
            } else if (error == ERROR_IO_PENDING) {
                // A render process that dies before it connects must not leave us waiting.
                HANDLE handles[3] = {stopEvent, connect.hEvent, process};
                DWORD w = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
                DWORD ignored = 0;
                if (w == WAIT_OBJECT_0 + 1) {
                    connected = GetOverlappedResult(pipe, &connect, &ignored, FALSE) != FALSE;
                } else {
                    CancelIoEx(pipe, &connect);
                    GetOverlappedResult(pipe, &connect, &ignored, TRUE);
                }
            }
        }
        CloseHandle(connect.hEvent);
        if (!connected) return false;
        // Only the process we started may speak for the renderer.
        ULONG clientPid = 0;
        if (GetNamedPipeClientProcessId(pipe, &clientPid) && clientPid != pid) return false;
        return true;
    }

    void Run() {
        if (WaitForClient()) Pump();
        std::lock_guard<std::mutex> guard(lock);
        closed = true;
        outgoing.clear();
    }

    void Pump() {
        OVERLAPPED rd = {}, wr = {};
        rd.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        wr.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<char> buffer(kPipeBuffer);
        std::string writing;
        bool readPending = false, writePending = false;
        WireReader reader;

        while (rd.hEvent && wr.hEvent) {
            if (!readPending) {
                if (!ReadFile(pipe, buffer.data(), (DWORD)buffer.size(), nullptr, &rd) &&
                    GetLastError() != ERROR_IO_PENDING)
                    break;
                readPending = true;
            }
            if (!writePending) {
                {
                    std::lock_guard<std::mutex> guard(lock);
                    if (!outgoing.empty()) {
                        writing = std::move(outgoing.front());
                        outgoing.pop_front();
                    } else {
                        writing.clear();
                    }
                }
                if (!writing.empty()) {
                    if (!WriteFile(pipe, writing.data(), (DWORD)writing.size(), nullptr, &wr) &&
                        GetLastError() != ERROR_IO_PENDING)
                        break;
                    writePending = true;
                }
            }
            HANDLE handles[3] = {stopEvent, rd.hEvent, writePending ? wr.hEvent : queueEvent};
            DWORD w = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
            if (w == WAIT_OBJECT_0 + 1) {
                DWORD got = 0;
                readPending = false;
                if (!GetOverlappedResult(pipe, &rd, &got, FALSE)) break;  // the render process has gone
                reader.Append(buffer.data(), got);
                std::string body;
                bool broken = false;
                while (reader.Next(&body, &broken)) {
                    CefRefPtr<CefProcessMessage> message = DecodeProcessMessage(body.data(), body.size());
                    if (message) Deliver(message);
                }
                if (broken) {
                    base::DiagFailure(L"render host", L"the pipe from render process %lu carries a broken stream", pid);
                    break;
                }
            } else if (w == WAIT_OBJECT_0 + 2) {
                if (writePending) {
                    DWORD put = 0;
                    writePending = false;
                    if (!GetOverlappedResult(pipe, &wr, &put, FALSE) || put != writing.size()) break;
                }
            } else {
                break;  // stop requested, or the wait itself failed
            }
        }

        // Overlapped structures and the buffer must outlive any operation still in flight.
        DWORD ignored = 0;
        if (readPending) {
            CancelIoEx(pipe, &rd);
            GetOverlappedResult(pipe, &rd, &ignored, TRUE);
        }
        if (writePending) {
            CancelIoEx(pipe, &wr);
            GetOverlappedResult(pipe, &wr, &ignored, TRUE);
        }
        if (rd.hEvent) CloseHandle(rd.hEvent);
        if (wr.hEvent) CloseHandle(wr.hEvent);
    }
};

RenderHost* RenderHost::Start(int browserId, int devtoolsPort, const std::string& browserWsPath,
                              const std::string& targetId,
                              std::function<void(CefRefPtr<CefProcessMessage>)> onMessage) {
    std::wstring exe = ModulePath();
    if (exe.empty()) {
        base::DiagFailure(L"render host", L"the program's own path is unknown (error %lu)", GetLastError());
        return nullptr;
    }
    std::wstring pipeName = NewPipeName(browserId);
    HANDLE pipe = CreateServerPipe(pipeName);
    if (pipe == INVALID_HANDLE_VALUE) {
        base::DiagFailure(L"render host", L"pipe %ls not created (error %lu)", pipeName.c_str(), GetLastError());
        return nullptr;
    }

    // The renderer gets the browser process's switches, as the engine's sub-processes do,
    // and then those that tell it where its browser and page are.
    CefRefPtr<CefCommandLine> command = CefCommandLine::CreateCommandLine();
    command->SetProgram(exe);
    command->AppendSwitchWithValue(L"type", L"renderer");
    if (CefRefPtr<CefCommandLine> browserLine = GetBrowserCommandLine()) {
        CefCommandLine::SwitchMap switches;
        browserLine->GetSwitches(switches);
        for (const auto& entry : switches) {
            std::wstring name = entry.first.ToWString();
            if (name == L"type" || name.compare(0, 9, L"renderer-") == 0) continue;
            command->AppendSwitchWithValue(entry.first, entry.second);
        }
    }
    command->AppendSwitchWithValue(kRendererPipeSwitch, pipeName);
    command->AppendSwitchWithValue(kRendererDevToolsPortSwitch, std::to_wstring(devtoolsPort));
    command->AppendSwitchWithValue(kRendererDevToolsPathSwitch, CefString(browserWsPath));
    command->AppendSwitchWithValue(kRendererTargetSwitch, CefString(targetId));
    command->AppendSwitchWithValue(kRendererBrowserIdSwitch, std::to_wstring(browserId));
    command->AppendSwitchWithValue(kRendererParentSwitch, std::to_wstring(GetCurrentProcessId()));

    std::wstring text = command->GetCommandLineString().ToWString();
    std::vector<wchar_t> mutableText(text.begin(), text.end());
    mutableText.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    // Through CreateProcessW itself, so the process-launch filter judges this launch too.
    // The filter reports a refused launch as a success without a process: no handle means no renderer.
    BOOL created = CreateProcessW(exe.c_str(), mutableText.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                  &pi);
    if (!created || !pi.hProcess) {
        DWORD error = created ? 0 : GetLastError();  // 0: the launch filter refused it
        base::DiagFailure(L"render host", L"render process for browser %d not started (error %lu)", browserId, error);
        if (created && pi.hThread) CloseHandle(pi.hThread);
        CloseHandle(pipe);
        return nullptr;
    }
    CloseHandle(pi.hThread);

    Impl* impl = new Impl();
    impl->pipe = pipe;
    impl->process = pi.hProcess;
    impl->pid = pi.dwProcessId;
    impl->onMessage = std::move(onMessage);
    impl->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl->queueEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (impl->stopEvent && impl->queueEvent)
        impl->thread = CreateThread(nullptr, 0, Impl::ThreadMain, impl, 0, nullptr);

    RenderHost* host = new RenderHost();
    host->impl_ = impl;
    host->pid_ = pi.dwProcessId;
    if (!impl->thread) {
        base::DiagFailure(L"render host", L"no I/O thread for render process %lu (error %lu)", pi.dwProcessId,
                          GetLastError());
        delete host;  // ends the process it just started
        return nullptr;
    }
    return host;
}

bool RenderHost::Send(CefRefPtr<CefProcessMessage> message) {
    if (!message || !impl_) return false;
    std::string frame = EncodeProcessMessage(message);
    if (frame.empty()) return false;  // too large: the render process would drop the pipe
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        if (impl_->closed) return false;
        impl_->outgoing.push_back(std::move(frame));
    }
    SetEvent(impl_->queueEvent);
    return true;
}

RenderHost::~RenderHost() {
    Impl* impl = impl_;
    if (!impl) return;
    impl->alive->store(false);
    if (impl->thread) {
        SetEvent(impl->stopEvent);
        WaitForSingleObject(impl->thread, INFINITE);
        CloseHandle(impl->thread);
    }
    // With its pipe gone the render process leaves by itself; one that does not is ended.
    if (impl->pipe != INVALID_HANDLE_VALUE) CloseHandle(impl->pipe);
    if (impl->process) {
        if (WaitForSingleObject(impl->process, kExitGraceMs) != WAIT_OBJECT_0) {
            TerminateProcess(impl->process, 0);
            WaitForSingleObject(impl->process, kExitGraceMs);
        }
        CloseHandle(impl->process);
    }
    if (impl->stopEvent) CloseHandle(impl->stopEvent);
    if (impl->queueEvent) CloseHandle(impl->queueEvent);
    delete impl;
}

}  // namespace cef_internal
