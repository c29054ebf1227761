#include "src/render/render_channel.h"

#include "base/Diagnostics.h"
#include "src/api/thread_check.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const DWORD kPipeBuffer = 64 * 1024;
// How long a render process keeps trying to reach a pipe somebody else holds.
const DWORD kOpenTimeoutMs = 10000;

}  // namespace

// Frame ids of the engine are 32 hex digits; the first 15 make a positive 64-bit
// identifier that stays the same for the frame's whole life.
int64 FrameIdentifier(const std::string& id) {
    int64 value = 0;
    size_t used = 0;
    for (char c : id) {
        if (used == 15) break;
        int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                         : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (digit < 0) {
            used = 0;
            break;
        }
        value = value * 16 + digit;
        ++used;
    }
    if (used) return value;
    // Not hex: a stable hash (FNV-1a) of the whole id instead.
    uint64_t h = 1469598103934665603ull;
    for (char c : id) h = (h ^ (unsigned char)c) * 1099511628211ull;
    return (int64)(h & 0x7FFFFFFFFFFFFFFFull);
}

RenderChannel::RenderChannel(int browserId, const std::string& targetId, HANDLE parent, DWORD parentPid)
    : browserId(browserId), targetId(targetId), parent_(parent), parentPid_(parentPid) {
    writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    inboxEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

RenderChannel::~RenderChannel() {
    Shutdown();
    if (writeEvent_) CloseHandle(writeEvent_);
    if (stopEvent_) CloseHandle(stopEvent_);
    if (inboxEvent_) CloseHandle(inboxEvent_);
}

bool RenderChannel::OpenPipe(const std::wstring& name) {
    if (!writeEvent_ || !stopEvent_ || !inboxEvent_) return false;
    // The pipe has one instance: while another client holds it (one that learnt the
    // name and got there first), the browser process turns it away and waits for us.
    DWORD start = GetTickCount();
    for (;;) {
        pipe_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE) break;
        if (GetLastError() != ERROR_PIPE_BUSY || GetTickCount() - start > kOpenTimeoutMs ||
            WaitForSingleObject(parent_, 0) == WAIT_OBJECT_0)
            return false;
        WaitNamedPipeW(name.c_str(), 250);
    }
    // Only our parent's pipe is spoken to.
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe_, &server) || server != parentPid_) {
        base::DiagFailure(L"render", L"pipe %ls is served by process %lu, not by our parent %lu", name.c_str(), server,
                          parentPid_);
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        return false;
    }
    reader_ = CreateThread(nullptr, 0, ReaderMain, this, CREATE_SUSPENDED, &readerId_);
    if (!reader_) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        return false;
    }
    ResumeThread(reader_);
    return true;
}

bool RenderChannel::AttachPage() {
    devtools_.SetEventHandler([this](const std::string& method, const json& params, const std::string& session) {
        OnRuntimeEvent(method, params, session);
    });
    if (!reader_ || !devtools_.Attach(this)) return false;
    json params = json::object();
    params["targetId"] = targetId;
    params["flatten"] = true;
    json result;
    if (!devtools_.Call("Target.attachToTarget", params, &result)) return false;
    std::string session = JsonString(result, "sessionId");
    if (session.empty()) return false;
    {
        std::lock_guard<std::mutex> lock(worldLock_);
        sessionId = session;
    }
    // The main worlds' contexts are followed for ExecuteJavaScript in inner frames;
    // the engine reports those that exist before it answers.
    json ignored;
    devtools_.Call("Runtime.enable", json::object(), &ignored, sessionId);
    return true;
}

bool RenderChannel::CarryMessage(const std::string& text) {
    std::string frame = EncodeDevToolsFrame(text);
    return !frame.empty() && Write(frame);
}

bool RenderChannel::Call(const char* method, const json& params, json* result) {
    if (sessionId.empty()) return false;
    return devtools_.Call(method, params, result, sessionId);
}

void RenderChannel::Post(const char* method, const json& params) {
    if (!sessionId.empty()) devtools_.Send(method, params, sessionId);
}

bool RenderChannel::Frames(std::vector<FrameInfo>* out) {
    out->clear();
    json result;
    if (!Call("Page.getFrameTree", json::object(), &result)) return false;
    CollectFrames(JsonObject(result, "frameTree"), out);
    return !out->empty();
}

bool RenderChannel::FindFrame(const std::string& id, FrameInfo* info) {
    std::vector<FrameInfo> frames;
    Frames(&frames);
    for (const FrameInfo& f : frames)
        if (f.id == id) {
            *info = f;
            return true;
        }
    return false;
}

int RenderChannel::MainWorldOf(const std::string& frameId) {
    std::lock_guard<std::mutex> lock(worldLock_);
    auto it = mainWorlds_.find(frameId);
    return it == mainWorlds_.end() ? 0 : it->second;
}

bool RenderChannel::Write(const std::string& frame) {
    std::lock_guard<std::mutex> lock(writeLock_);
    if (pipe_ == INVALID_HANDLE_VALUE || !writeEvent_) return false;
    OVERLAPPED ov = {};
    ov.hEvent = writeEvent_;
    if (!WriteFile(pipe_, frame.data(), (DWORD)frame.size(), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return false;
    HANDLE handles[3] = {writeEvent_, parent_, stopEvent_};
    DWORD w = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    DWORD put = 0;
    if (w != WAIT_OBJECT_0) {  // the browser process is gone, or we are ending
        CancelIoEx(pipe_, &ov);
        GetOverlappedResult(pipe_, &ov, &put, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe_, &ov, &put, FALSE) && put == frame.size();
}

DWORD WINAPI RenderChannel::ReaderMain(LPVOID self) {
    static_cast<RenderChannel*>(self)->ReaderLoop();
    return 0;
}

void RenderChannel::ReaderLoop() {
    OVERLAPPED rd = {};
    rd.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(kPipeBuffer);
    WireReader reader;
    while (rd.hEvent) {
        if (!ReadFile(pipe_, buffer.data(), (DWORD)buffer.size(), nullptr, &rd) && GetLastError() != ERROR_IO_PENDING)
            break;
        HANDLE handles[3] = {rd.hEvent, parent_, stopEvent_};
        DWORD w = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
        DWORD got = 0;
        if (w != WAIT_OBJECT_0) {
            CancelIoEx(pipe_, &rd);
            GetOverlappedResult(pipe_, &rd, &got, TRUE);
            break;
        }
        if (!GetOverlappedResult(pipe_, &rd, &got, FALSE)) break;  // the browser closed its end
        reader.Append(buffer.data(), got);
        std::string body;
        bool broken = false, devtools = false;
        std::vector<CefRefPtr<CefProcessMessage>> arrived;
        while (reader.Next(&body, &broken, &devtools)) {
            if (devtools) {
                devtools_.Receive(body.data(), body.size());
                continue;
            }
            // A frame that does not decode is dropped; the stream itself is still whole.
            CefRefPtr<CefProcessMessage> message = DecodeProcessMessage(body.data(), body.size());
            if (message) arrived.push_back(message);
        }
        if (!arrived.empty()) {
            {
                std::lock_guard<std::mutex> lock(inboxLock_);
                for (auto& m : arrived) inbox_.push_back(m);
            }
            SetEvent(inboxEvent_);
        }
        if (broken) {
            base::DiagFailure(L"render", L"the pipe from the browser process carries a broken stream (browser %d)",
                              browserId);
            break;
        }
    }
    if (rd.hEvent) CloseHandle(rd.hEvent);
    // Calls waiting for the browser process return now.
    devtools_.CarrierClosed();
    {
        std::lock_guard<std::mutex> lock(inboxLock_);
        inboxClosed_ = true;
    }
    SetEvent(inboxEvent_);
}

bool RenderChannel::Receive(std::vector<CefRefPtr<CefProcessMessage>>* messages) {
    CEF_REQUIRE_THREAD(mainThread_);
    messages->clear();
    if (!reader_) return false;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(inboxLock_);
            if (!inbox_.empty()) {
                messages->assign(inbox_.begin(), inbox_.end());
                inbox_.clear();
                return true;
            }
            if (inboxClosed_) return false;
        }
        HANDLE handles[2] = {inboxEvent_, parent_};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return false;
    }
}

void RenderChannel::Shutdown() {
    devtools_.Close();
    if (stopEvent_) SetEvent(stopEvent_);
    if (reader_) {
        WaitForSingleObject(reader_, INFINITE);
        CloseHandle(reader_);
        reader_ = nullptr;
    }
    devtools_.Detach();
    std::lock_guard<std::mutex> lock(writeLock_);
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }
}

void RenderChannel::CollectFrames(const json& node, std::vector<FrameInfo>* out) {
    const json& frame = JsonObject(node, "frame");
    if (!frame.is_object()) return;
    FrameInfo info;
    info.id = JsonString(frame, "id");
    info.parentId = JsonString(frame, "parentId");
    info.name = JsonString(frame, "name");
    info.url = JsonString(frame, "url") + JsonString(frame, "urlFragment");
    out->push_back(info);
    const json& children = JsonObject(node, "childFrames");
    if (children.is_array())
        for (const json& child : children) CollectFrames(child, out);
}

void RenderChannel::OnRuntimeEvent(const std::string& method, const json& params, const std::string& session) {
    std::lock_guard<std::mutex> lock(worldLock_);
    if (session.empty() || session != sessionId) return;
    if (method == "Runtime.executionContextCreated") {
        const json& context = JsonObject(params, "context");
        const json& aux = JsonObject(context, "auxData");
        std::string frameId = JsonString(aux, "frameId");
        if (!frameId.empty() && JsonBool(aux, "isDefault")) mainWorlds_[frameId] = JsonInt(context, "id");
    } else if (method == "Runtime.executionContextDestroyed") {
        int id = JsonInt(params, "executionContextId");
        for (auto it = mainWorlds_.begin(); it != mainWorlds_.end();)
            it = it->second == id ? mainWorlds_.erase(it) : std::next(it);
    } else if (method == "Runtime.executionContextsCleared") {
        mainWorlds_.clear();
    }
}

}  // namespace cef_internal
