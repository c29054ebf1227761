#include "src/render/render_host.h"

#include <bcrypt.h>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>
#include "base/Diagnostics.h"
#include "include/cef_command_line.h"
#include "src/api/cef_context.h"
#include "src/engine/devtools.h"
#include "src/api/process_message_wire.h"
#include "src/render/render_switches.h"

using nlohmann::json;

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

HANDLE CreateServerPipe(const std::wstring& name) {
    // The first instance of the name, and the only one there may ever be: nobody
    // can have made it before us, and nobody can add a second one beside it.
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE pipe = CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                                PIPE_REJECT_REMOTE_CLIENTS,
                                   1, kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
        // Systems that do not know the remote-client flag.
        pipe = CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                kPipeBuffer, kPipeBuffer, 0, nullptr);
    return pipe;
}

}  // namespace

std::wstring NewRenderPipeName() {
    unsigned char random[16];
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return std::wstring();
    std::wstring name = L"\\\\.\\pipe\\vornmark.render.";
    const wchar_t* hex = L"0123456789abcdef";
    for (unsigned char b : random) {
        name += hex[b >> 4];
        name += hex[b & 15];
    }
    return name;
}

// Threads: Send() and the engine's answers and events (on the engine connection's
// reader thread) only queue frames; everything on the pipe happens on the host's
// own I/O thread, which alone reads and writes. `lock` guards `outgoing`, `closed`
// and the DevTools session. Work that outlives the host (answers still on their
// way) holds the Impl by a weak reference and finds it gone.
struct RenderHost::Impl : std::enable_shared_from_this<RenderHost::Impl> {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE process = nullptr;
    DWORD pid = 0;
    HANDLE thread = nullptr;
    HANDLE stopEvent = nullptr;   // manual reset: the host is going away
    HANDLE queueEvent = nullptr;  // auto reset: a frame was queued
    std::function<void(CefRefPtr<CefProcessMessage>)> onMessage;
    // Cleared when the host goes; messages still queued for the UI thread are then dropped.
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    std::shared_ptr<DevToolsConnection> engine;
    std::string targetId;

    std::mutex lock;
    std::deque<std::string> outgoing;
    bool closed = false;
    std::string session;       // the render process's DevTools session on its page
    bool attachAsked = false;  // it may attach once, to its own page only

    ~Impl() {
        if (stopEvent) CloseHandle(stopEvent);
        if (queueEvent) CloseHandle(queueEvent);
    }

    static DWORD WINAPI ThreadMain(LPVOID self) {
        static_cast<Impl*>(self)->Run();
        return 0;
    }

    bool Queue(std::string frame) {
        if (frame.empty()) return false;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (closed) return false;
            outgoing.push_back(std::move(frame));
        }
        SetEvent(queueEvent);
        return true;
    }

    void Deliver(CefRefPtr<CefProcessMessage> message) {
        std::function<void(CefRefPtr<CefProcessMessage>)> callback = onMessage;
        std::shared_ptr<std::atomic<bool>> live = alive;
        if (!callback) return;
        PostUiTask([callback, live, message] {
            if (live->load()) callback(message);
        });
    }

    // ---- the render process's DevTools session ----------------------------------

    void Answer(int id, bool ok, const json& result) {
        json msg = {{"id", id}};
        if (ok) msg["result"] = result.is_null() ? json::object() : result;
        else msg["error"] = result.is_object() ? result : json{{"code", -32000}, {"message", "no answer"}};
        std::string text = msg.dump(-1, ' ', false, json::error_handler_t::replace);
        if (!Queue(EncodeDevToolsFrame(text)))
            // Too large for the pipe: the caller hears of it rather than waiting.
            Queue(EncodeDevToolsFrame(json{{"id", id}, {"error", {{"code", -32000}, {"message", "too large"}}}}.dump()));
    }

    void Adopt(const std::string& sessionId) {
        {
            std::lock_guard<std::mutex> guard(lock);
            session = sessionId;
        }
        std::weak_ptr<Impl> weak = shared_from_this();
        engine->SetSessionTap(sessionId, [weak](const std::string& method, const json& params, const std::string& s) {
            std::shared_ptr<Impl> self = weak.lock();
            if (!self) return;
            json msg = {{"method", method}, {"params", params}, {"sessionId", s}};
            self->Queue(EncodeDevToolsFrame(msg.dump(-1, ' ', false, json::error_handler_t::replace)));
        });
    }

    // A command of the render process: passed on when it concerns its own page,
    // refused otherwise. The render process is our own program, but what it may
    // do through our line is still only what it needs.
    void OnDevTools(const std::string& text) {
        json msg = json::parse(text, nullptr, false);  // also refuses text that is not UTF-8
        if (!msg.is_object()) return;
        auto idIt = msg.find("id");
        if (idIt == msg.end() || !idIt->is_number_integer()) return;
        int id = idIt->get<int>();
        std::string method = JsonString(msg, "method");
        json params = JsonObject(msg, "params");
        if (!params.is_object()) params = json::object();
        std::string sessionId = JsonString(msg, "sessionId");
        std::string own;
        bool asked;
        {
            std::lock_guard<std::mutex> guard(lock);
            own = session;
            asked = attachAsked;
        }
        std::weak_ptr<Impl> weak = shared_from_this();
        bool attach = sessionId.empty() && method == "Target.attachToTarget" && !asked &&
                      JsonString(params, "targetId") == targetId && !targetId.empty();
        if (attach) {
            {
                std::lock_guard<std::mutex> guard(lock);
                attachAsked = true;
            }
            params["flatten"] = true;
            int sent = engine->SendAsync(method, params, [weak, id](bool ok, const json& result) {
                std::shared_ptr<Impl> self = weak.lock();
                if (!self) return;
                std::string s = ok ? JsonString(result, "sessionId") : std::string();
                if (!s.empty()) self->Adopt(s);
                self->Answer(id, ok && !s.empty(), result);
            });
            if (!sent) Answer(id, false, json());
            return;
        }
        if (sessionId.empty() || sessionId != own) {
            Answer(id, false, json{{"code", -32601}, {"message", "not allowed"}});
            return;
        }
        int sent = engine->SendAsync(
            method, params,
            [weak, id](bool ok, const json& result) {
                if (std::shared_ptr<Impl> self = weak.lock()) self->Answer(id, ok, result);
            },
            sessionId);
        if (!sent) Answer(id, false, json());
    }

    // ---- the pipe -----------------------------------------------------------------

    // Waits for the render process we started on the pipe. Anybody else who gets
    // there first (having learnt the name from our child's command line) is
    // disconnected unheard, and the pipe waits again.
    bool WaitForClient() {
        OVERLAPPED connect = {};
        connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!connect.hEvent) return false;
        bool ours = false;
        for (;;) {
            ResetEvent(connect.hEvent);
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
                    DWORD w = WaitForMultipleObjects(process ? 3 : 2, handles, FALSE, INFINITE);
                    DWORD ignored = 0;
                    if (w == WAIT_OBJECT_0 + 1) {
                        connected = GetOverlappedResult(pipe, &connect, &ignored, FALSE) != FALSE;
                    } else {
                        CancelIoEx(pipe, &connect);
                        GetOverlappedResult(pipe, &connect, &ignored, TRUE);
                        break;
                    }
                }
            }
            if (!connected) break;
            // Only the process we started may speak for the renderer.
            ULONG clientPid = 0;
            if (GetNamedPipeClientProcessId(pipe, &clientPid) && clientPid == pid) {
                ours = true;
                break;
            }
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(connect.hEvent);
        return ours;
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
                bool broken = false, devtools = false;
                while (reader.Next(&body, &broken, &devtools)) {
                    if (devtools) {
                        OnDevTools(body);
                        continue;
                    }
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

RenderHost* RenderHost::Start(int browserId, std::shared_ptr<DevToolsConnection> engine, const std::string& targetId,
                              std::function<void(CefRefPtr<CefProcessMessage>)> onMessage) {
    std::wstring exe = ModulePath();
    if (exe.empty()) {
        base::DiagFailure(L"render host", L"the program's own path is unknown (error %lu)", GetLastError());
        return nullptr;
    }
    if (!engine) return nullptr;
    std::wstring pipeName = NewRenderPipeName();
    if (pipeName.empty()) {
        base::DiagFailure(L"render host", L"no random pipe name: the system's generator failed");
        return nullptr;
    }
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
    RenderHost* host = Run(pipe, pi.hProcess, pi.dwProcessId, std::move(engine), targetId, std::move(onMessage));
    if (host) host->pipeName_ = pipeName;
    return host;
}

RenderHost* RenderHost::Serve(HANDLE pipe, DWORD clientPid, std::shared_ptr<DevToolsConnection> engine,
                              const std::string& targetId,
                              std::function<void(CefRefPtr<CefProcessMessage>)> onMessage) {
    if (pipe == INVALID_HANDLE_VALUE || !engine) return nullptr;
    return Run(pipe, nullptr, clientPid, std::move(engine), targetId, std::move(onMessage));
}

RenderHost* RenderHost::Run(HANDLE pipe, HANDLE process, DWORD pid, std::shared_ptr<DevToolsConnection> engine,
                            const std::string& targetId,
                            std::function<void(CefRefPtr<CefProcessMessage>)> onMessage) {
    auto impl = std::make_shared<Impl>();
    impl->pipe = pipe;
    impl->process = process;
    impl->pid = pid;
    impl->onMessage = std::move(onMessage);
    impl->engine = std::move(engine);
    impl->targetId = targetId;
    impl->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl->queueEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (impl->stopEvent && impl->queueEvent)
        impl->thread = CreateThread(nullptr, 0, Impl::ThreadMain, impl.get(), 0, nullptr);

    RenderHost* host = new RenderHost();
    host->impl_ = impl;
    host->pid_ = pid;
    if (!impl->thread) {
        base::DiagFailure(L"render host", L"no I/O thread for render process %lu (error %lu)", pid, GetLastError());
        delete host;  // ends the process it was given
        return nullptr;
    }
    return host;
}

bool RenderHost::Send(CefRefPtr<CefProcessMessage> message) {
    if (!message || !impl_) return false;
    // Empty when too large: the render process would drop the pipe.
    return impl_->Queue(EncodeProcessMessage(message));
}

RenderHost::~RenderHost() {
    std::shared_ptr<Impl> impl = impl_;
    if (!impl) return;
    impl->alive->store(false);
    if (impl->thread) {
        SetEvent(impl->stopEvent);
        WaitForSingleObject(impl->thread, INFINITE);
        CloseHandle(impl->thread);
        impl->thread = nullptr;
    }
    std::string session;
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->closed = true;
        session.swap(impl->session);
    }
    if (!session.empty()) {
        // The page stays; the render process's own session on it goes with it.
        impl->engine->RemoveSessionTap(session);
        impl->engine->Send("Target.detachFromTarget", {{"sessionId", session}});
    }
    // With its pipe gone the render process leaves by itself; one that does not is ended.
    if (impl->pipe != INVALID_HANDLE_VALUE) CloseHandle(impl->pipe);
    impl->pipe = INVALID_HANDLE_VALUE;
    if (impl->process) {
        if (WaitForSingleObject(impl->process, kExitGraceMs) != WAIT_OBJECT_0) {
            TerminateProcess(impl->process, 0);
            WaitForSingleObject(impl->process, kExitGraceMs);
        }
        CloseHandle(impl->process);
        impl->process = nullptr;
    }
    impl_.reset();  // answers still on their way find it gone
}

}  // namespace cef_internal
