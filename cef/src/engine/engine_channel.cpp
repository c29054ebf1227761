#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/engine/engine_channel.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include "base/Diagnostics.h"
#include "src/api/cef_context.h"
#include "src/engine/engine_process.h"

namespace cef_internal {
namespace {

const wchar_t kHostScript[] = L"engine_host.py";
const wchar_t kPython[] = L"Z:\\usr\\bin\\python3";
// How long one try at our socket pair may take, strangers on the listener included,
// and how long of it our own connect may wait; tries before the engine is given up.
const DWORD kPairTimeoutMs = 3000;
const DWORD kConnectTimeoutMs = 1000;
const int kPairAttempts = 3;

bool FileExists(const std::wstring& path) {
    DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ModuleDir() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), (DWORD)path.size());
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            std::wstring p(path.data(), n);
            size_t slash = p.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : p.substr(0, slash);
        }
        if (path.size() >= 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// One try at two connected loopback sockets of ours. The listener lives only for
// the one connect: anything else that reaches it first is not our own socket (its
// address is not the one ours connected from) and is dropped. An established
// connection cannot be joined by a third process, so nobody else ever holds the
// line. Its queue is as long as the system allows, so strangers cannot fill it in
// the moment before our own connect; and that connect never waits for long.
bool TrySocketPair(SOCKET* mine, SOCKET* theirs, const std::function<void(int port)>& afterListen) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    // The listener is ours alone: no other socket may bind the port beside it.
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&exclusive, sizeof(exclusive));
    if (bind(listener, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, (sockaddr*)&addr, &len) != 0) {
        closesocket(listener);
        return false;
    }
    if (afterListen) afterListen(ntohs(addr.sin_port));
    // The host's end: a plain (non-overlapped) socket, handed to it as fds 0 and 1;
    // non-blocking only while it connects.
    SOCKET out = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
    sockaddr_in from = {};
    int fromLen = sizeof(from);
    DWORD start = GetTickCount();
    bool connected = false;
    if (out != INVALID_SOCKET) {
        u_long nonBlocking = 1;
        ioctlsocket(out, FIONBIO, &nonBlocking);
        if (connect(out, (sockaddr*)&addr, sizeof(addr)) == 0) {
            connected = true;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set wfds, efds;
            FD_ZERO(&wfds);
            FD_ZERO(&efds);
            FD_SET(out, &wfds);
            FD_SET(out, &efds);
            timeval tv = {(long)(kConnectTimeoutMs / 1000), (long)((kConnectTimeoutMs % 1000) * 1000)};
            int error = 0;
            int errorLen = sizeof(error);
            connected = select(0, nullptr, &wfds, &efds, &tv) > 0 && FD_ISSET(out, &wfds) &&
                        getsockopt(out, SOL_SOCKET, SO_ERROR, (char*)&error, &errorLen) == 0 && error == 0;
        }
        nonBlocking = 0;
        if (connected) connected = ioctlsocket(out, FIONBIO, &nonBlocking) == 0;
    }
    if (!connected || getsockname(out, (sockaddr*)&from, &fromLen) != 0) {
        if (out != INVALID_SOCKET) closesocket(out);
        closesocket(listener);
        return false;
    }
    SOCKET in = INVALID_SOCKET;
    for (DWORD elapsed = GetTickCount() - start; in == INVALID_SOCKET && elapsed < kPairTimeoutMs;
         elapsed = GetTickCount() - start) {
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(listener, &rfds);
        DWORD left = kPairTimeoutMs - elapsed;
        timeval tv = {(long)(left / 1000), (long)((left % 1000) * 1000)};
        if (select(0, &rfds, nullptr, nullptr, &tv) <= 0) break;
        sockaddr_in peer = {};
        int peerLen = sizeof(peer);
        SOCKET s = accept(listener, (sockaddr*)&peer, &peerLen);
        if (s == INVALID_SOCKET) continue;
        if (SameAddress(peer, from)) in = s;
        else closesocket(s);  // a stranger
    }
    closesocket(listener);
    if (in == INVALID_SOCKET) {
        closesocket(out);
        return false;
    }
    BOOL nodelay = TRUE;  // small input commands must not wait for Nagle
    setsockopt(in, IPPROTO_TCP, TCP_NODELAY, (const char*)&nodelay, sizeof(nodelay));
    setsockopt(out, IPPROTO_TCP, TCP_NODELAY, (const char*)&nodelay, sizeof(nodelay));
    *mine = in;
    *theirs = out;
    return true;
}

}  // namespace

bool MakeLineSocketPair(uintptr_t* mine, uintptr_t* theirs, const std::function<void(int port)>& afterListen) {
    // A try that failed (a queue filled anyway, a port taken away) is made afresh on
    // a new port; strangers then have to find and fill that one as well.
    for (int attempt = 0; attempt < kPairAttempts; ++attempt) {
        SOCKET a = INVALID_SOCKET, b = INVALID_SOCKET;
        if (TrySocketPair(&a, &b, afterListen)) {
            *mine = (uintptr_t)a;
            *theirs = (uintptr_t)b;
            return true;
        }
    }
    return false;
}

std::unique_ptr<EngineChannel> EngineChannel::Start(const Launch& launch, Handlers handlers) {
    std::unique_ptr<EngineChannel> channel(new EngineChannel());
    channel->handlers_ = std::move(handlers);
    InitializeCriticalSection(&channel->writeLock_);
    channel->exited_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    channel->stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!channel->exited_ || !channel->stop_) return nullptr;
    const std::wstring& exe = launch.engine;
    bool windowsExe = exe.size() > 4 && _wcsicmp(exe.c_str() + exe.size() - 4, L".exe") == 0;
    channel->linux_ = UnderWine() && !windowsExe;
    bool ok = channel->linux_ ? channel->StartUnderWine(launch) : channel->StartOnWindows(launch);
    if (!ok) return nullptr;  // the destructor ends whatever did start
    channel->open_ = true;
    DWORD id = 0;
    channel->reader_ = CreateThread(nullptr, 0, ReaderMain, channel.get(), CREATE_SUSPENDED, &id);
    if (!channel->reader_) {
        channel->open_ = false;
        return nullptr;
    }
    channel->readerId_ = id;
    ResumeThread(channel->reader_);
    if (!channel->linux_ && channel->handlers_.onStarted) channel->handlers_.onStarted(channel->enginePid_);
    return channel;
}

bool EngineChannel::StartUnderWine(const Launch& launch) {
    std::wstring host = ModuleDir() + L"\\" + kHostScript;
    if (!FileExists(kPython) || !FileExists(host)) {
        base::DiagFailure(L"engine", L"no engine host: %ls or %ls is missing", kPython, host.c_str());
        return false;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    wsaStarted_ = true;
    uintptr_t mineValue = ~(uintptr_t)0, theirsValue = ~(uintptr_t)0;
    if (!MakeLineSocketPair(&mineValue, &theirsValue)) {
        base::DiagFailure(L"engine", L"no line to the engine host: socket pair failed (error %d)", WSAGetLastError());
        return false;
    }
    socket_ = mineValue;
    SOCKET theirs = (SOCKET)theirsValue;

    std::wstring cmd = QuoteCommandLineArg(kPython) + L" " +
                       QuoteCommandLineArg(CefString(EnginePath(host, true)).ToWString());
    // Only letters, digits and "_" reach the host's language switch.
    if (!launch.language.empty() &&
        launch.language.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") ==
            std::string::npos)
        cmd += L" --language=" + CefString(launch.language).ToWString();
    if (launch.embed) {
        cmd += L" --embed";
        if (!launch.firstWindow.empty())
            cmd += L" " + QuoteCommandLineArg(L"--first-window=" + CefString(launch.firstWindow).ToWString());
    }
    cmd += L" " + QuoteCommandLineArg(CefString(EnginePath(launch.engine, true)).ToWString());
    for (const std::string& a : launch.args) cmd += L" " + QuoteCommandLineArg(CefString(a).ToWString());
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);

    // Wine hands a socket to a Linux program as its file descriptor; its pipes it cannot.
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = (HANDLE)theirs;
    si.hStdOutput = (HANDLE)theirs;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    // For a Linux program Wine fills PROCESS_INFORMATION with handle values it has
    // already closed: they are never used or closed here. The host tells us the pids.
    // Wine passes the standard handles to a Linux child only when it inherits them
    // and gets no console of its own: DETACHED_PROCESS, or a GUI program like ours
    // (which has no console to share) would hand it /dev/null. A Linux child has no
    // handle table, so nothing else of ours reaches it.
    SetHandleInformation((HANDLE)theirs, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    BOOL started = CreateProcessW(kPython, buf.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                                  &si, &pi);
    if (!started) base::DiagFailure(L"engine", L"the engine host did not start (error %lu)", GetLastError());
    closesocket(theirs);  // the host holds its own descriptor now
    return started != FALSE;
}

bool EngineChannel::StartOnWindows(const Launch& launch) {
    // The engine's DevTools transport as two pipes it inherits; written as the
    // engine documents it for Windows, not run on this machine.
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE engineIn = nullptr, engineOut = nullptr;
    if (!CreatePipe(&engineIn, &toEngine_, &sa, 0)) return false;
    if (!CreatePipe(&fromEngine_, &engineOut, &sa, 0)) {
        CloseHandle(engineIn);
        return false;
    }
    SetHandleInformation(toEngine_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromEngine_, HANDLE_FLAG_INHERIT, 0);

    std::wstring cmd = QuoteCommandLineArg(launch.engine) + L" --remote-debugging-pipe --remote-debugging-io-pipes=" +
                       std::to_wstring((unsigned long long)(uintptr_t)engineIn) + L"," +
                       std::to_wstring((unsigned long long)(uintptr_t)engineOut);
    for (const std::string& a : launch.args) cmd += L" " + QuoteCommandLineArg(CefString(a).ToWString());
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);

    // Exactly these two handles are inherited, nothing else of ours.
    SIZE_T attrSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attrSize);
    std::vector<char> attrBuf(attrSize);
    LPPROC_THREAD_ATTRIBUTE_LIST attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuf.data());
    HANDLE inherit[2] = {engineIn, engineOut};
    bool haveAttrs = attrSize && InitializeProcThreadAttributeList(attrs, 1, 0, &attrSize) &&
                     UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit, sizeof(inherit),
                                               nullptr, nullptr);
    STARTUPINFOEXW si = {};
    si.StartupInfo.cb = sizeof(si);
    si.lpAttributeList = haveAttrs ? attrs : nullptr;
    PROCESS_INFORMATION pi = {};
    // The job ends the engine's whole process tree with us, whatever happens to us.
    job_ = CreateJobObjectW(nullptr, nullptr);
    if (job_) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | (haveAttrs ? EXTENDED_STARTUPINFO_PRESENT : 0);
    BOOL created = haveAttrs && CreateProcessW(launch.engine.c_str(), buf.data(), nullptr, nullptr, TRUE, flags,
                                               nullptr, nullptr, &si.StartupInfo, &pi);
    if (haveAttrs) DeleteProcThreadAttributeList(attrs);
    CloseHandle(engineIn);
    CloseHandle(engineOut);
    if (!created) {
        base::DiagFailure(L"engine", L"launch of %ls failed (error %lu)", launch.engine.c_str(), GetLastError());
        return false;
    }
    if (job_ && !AssignProcessToJobObject(job_, pi.hProcess)) {
        // Not in the job (our own job may forbid it): the engine is then ended by its handle.
        CloseHandle(job_);
        job_ = nullptr;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    enginePid_ = pi.dwProcessId;
    return true;
}

EngineChannel::~EngineChannel() {
    Close(2500);
    if (reader_) {
        WaitForSingleObject(reader_, INFINITE);
        CloseHandle(reader_);
    }
    if (socket_ != ~(uintptr_t)0) closesocket((SOCKET)socket_);
    if (toEngine_) CloseHandle(toEngine_);
    if (fromEngine_) CloseHandle(fromEngine_);
    if (process_) CloseHandle(process_);
    if (job_) CloseHandle(job_);
    if (exited_) CloseHandle(exited_);
    if (stop_) CloseHandle(stop_);
    if (wsaStarted_) WSACleanup();
    DeleteCriticalSection(&writeLock_);
}

// ---- sending --------------------------------------------------------------------

bool EngineChannel::WriteAll(const char* data, size_t size) {
    if (linux_) {
        SOCKET s = (SOCKET)socket_;
        while (size > 0) {
            int n = send(s, data, (int)std::min<size_t>(size, 1 << 20), 0);
            if (n == SOCKET_ERROR) {
                if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
                // The socket is non-blocking (the reader's event selection): wait until it drains.
                fd_set wfds;
                FD_ZERO(&wfds);
                FD_SET(s, &wfds);
                timeval tv = {(long)(kSendStallMs / 1000), (long)((kSendStallMs % 1000) * 1000)};
                if (select(0, nullptr, &wfds, nullptr, &tv) <= 0) return false;
                continue;
            }
            data += n;
            size -= (size_t)n;
        }
        return true;
    }
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(toEngine_, data, (DWORD)std::min<size_t>(size, 1 << 20), &put, nullptr)) return false;
        data += put;
        size -= put;
    }
    return true;
}

bool EngineChannel::SendFrame(char letter, const std::string& payload) {
    if (!open_ || closing_) return false;
    std::string frame;
    frame.reserve(payload.size() + 2);
    if (linux_) frame += letter;
    frame += payload;
    frame += '\0';
    EnterCriticalSection(&writeLock_);
    bool ok = open_ && WriteAll(frame.data(), frame.size());
    if (!ok && open_) {
        // A stalled or failed write may have left half a frame on the line: the line
        // is over. The reader wakes, and the end is reported as the engine's.
        open_ = false;
        if (linux_) shutdown((SOCKET)socket_, SD_BOTH);
        SetEvent(stop_);
    }
    LeaveCriticalSection(&writeLock_);
    return ok;
}

bool EngineChannel::SendDevTools(const std::string& text) { return SendFrame('D', text); }

bool EngineChannel::SendWindowCommand(const std::string& text) { return linux_ && SendFrame('X', text); }

// ---- ending ---------------------------------------------------------------------

void EngineChannel::Close(DWORD waitMs) {
    if (closing_.exchange(true)) return;
    if (OnReaderThread()) {
        SetEvent(stop_);
        return;
    }
    DWORD start = GetTickCount();
    auto left = [&]() -> DWORD {
        DWORD e = GetTickCount() - start;
        return e >= waitMs ? 0 : waitMs - e;
    };
    if (linux_) {
        // The host ends the engine's process group at the end of its input, and its
        // own end closes the line once every process of the group has gone.
        EnterCriticalSection(&writeLock_);
        if (socket_ != ~(uintptr_t)0) shutdown((SOCKET)socket_, SD_SEND);
        LeaveCriticalSection(&writeLock_);
        if (reader_) WaitForSingleObject(reader_, left());
    } else {
        // The engine leaves at the end of its command pipe; the job ends what stays.
        EnterCriticalSection(&writeLock_);
        if (toEngine_) {
            CloseHandle(toEngine_);
            toEngine_ = nullptr;
        }
        LeaveCriticalSection(&writeLock_);
        if (process_ && WaitForSingleObject(process_, left()) != WAIT_OBJECT_0) {
            if (job_) TerminateJobObject(job_, 0);
            else TerminateProcess(process_, 0);
            WaitForSingleObject(process_, 1000);
        }
    }
    open_ = false;
    SetEvent(stop_);
    if (!linux_ && fromEngine_) CancelSynchronousIo(reader_);
}

bool EngineChannel::WaitForEngineExit(DWORD waitMs) {
    if (!linux_ && process_) return WaitForSingleObject(process_, waitMs) == WAIT_OBJECT_0;
    return WaitForSingleObject(exited_, waitMs) == WAIT_OBJECT_0;
}

bool EngineChannel::OnReaderThread() const {
    DWORD id = readerId_;
    return id != 0 && id == GetCurrentThreadId();
}

// ---- reading --------------------------------------------------------------------

DWORD WINAPI EngineChannel::ReaderMain(LPVOID self) {
    static_cast<EngineChannel*>(self)->ReaderLoop();
    return 0;
}

void EngineChannel::ReaderLoop() {
    std::vector<char> buf(256 * 1024);
    auto consume = [&](const char* data, size_t size) {
        while (size > 0) {
            const char* nul = static_cast<const char*>(memchr(data, 0, size));
            size_t part = nul ? (size_t)(nul - data) : size;
            if (!skipping_) {
                if (frame_.size() + part > kMaxFrame) {
                    // Too large to take: thrown away up to its end, never buffered.
                    std::string().swap(frame_);
                    skipping_ = true;
                } else {
                    frame_.append(data, part);
                }
            }
            if (!nul) return;
            if (!skipping_) OnFrame(frame_.data(), frame_.size());
            skipping_ = false;
            frame_.clear();
            if (frame_.capacity() > 4 * 1024 * 1024) std::string().swap(frame_);
            data = nul + 1;
            size -= part + 1;
        }
    };
    if (linux_) {
        SOCKET s = (SOCKET)socket_;
        WSAEVENT ready = WSACreateEvent();
        bool alive = ready != WSA_INVALID_EVENT && WSAEventSelect(s, ready, FD_READ | FD_CLOSE) != SOCKET_ERROR;
        HANDLE handles[2] = {stop_, ready};
        while (alive) {
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
            WSANETWORKEVENTS events;
            if (WSAEnumNetworkEvents(s, ready, &events) == SOCKET_ERROR) break;
            // Drained whole: FD_READ is signalled again only after a recv.
            for (;;) {
                int n = recv(s, buf.data(), (int)buf.size(), 0);
                if (n > 0) {
                    try {
                        consume(buf.data(), (size_t)n);
                    } catch (const std::bad_alloc&) {
                        std::string().swap(frame_);
                        skipping_ = true;
                    }
                    continue;
                }
                if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) alive = false;
                break;
            }
            if (events.lNetworkEvents & FD_CLOSE) alive = false;
        }
        if (ready != WSA_INVALID_EVENT) {
            WSAEventSelect(s, ready, 0);
            WSACloseEvent(ready);
        }
    } else {
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(fromEngine_, buf.data(), (DWORD)buf.size(), &got, nullptr) || got == 0) break;
            try {
                consume(buf.data(), got);
            } catch (const std::bad_alloc&) {
                std::string().swap(frame_);
                skipping_ = true;
            }
        }
        // The engine closed its end: it has ended (or is about to).
        DWORD code = 0;
        if (!closing_ && process_ && WaitForSingleObject(process_, 2000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process_, &code) && !exitReported_.exchange(true) && handlers_.onEngineExited)
            handlers_.onEngineExited((int)code);
    }
    open_ = false;
    SetEvent(exited_);  // the line's end: whatever ran behind it has gone
    if (!closing_ && handlers_.onClosed) handlers_.onClosed();
}

void EngineChannel::OnFrame(const char* data, size_t size) {
    if (!linux_) {
        if (handlers_.onDevTools) handlers_.onDevTools(data, size);
        return;
    }
    if (size == 0) return;
    switch (data[0]) {
    case 'D':
        if (handlers_.onDevTools) handlers_.onDevTools(data + 1, size - 1);
        break;
    case 'X':
        if (handlers_.onWindowEvent) handlers_.onWindowEvent(data + 1, size - 1);
        break;
    case 'E':
        OnHostEvent(data + 1, size - 1);
        break;
    default:
        break;  // a letter of a later host: not ours to read
    }
}

void EngineChannel::OnHostEvent(const char* data, size_t size) {
    nlohmann::json event = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!event.is_object()) return;
    auto started = event.find("started");
    if (started != event.end() && started->is_object()) {
        auto engine = started->find("engine");
        if (engine != started->end() && engine->is_number_unsigned()) {
            enginePid_ = engine->get<DWORD>();
            if (handlers_.onStarted) handlers_.onStarted(enginePid_);
        }
    }
    auto exited = event.find("exited");
    if (exited != event.end() && exited->is_number_integer()) {
        SetEvent(exited_);
        if (!closing_ && !exitReported_.exchange(true) && handlers_.onEngineExited)
            handlers_.onEngineExited(exited->get<int>());
    }
}

}  // namespace cef_internal
