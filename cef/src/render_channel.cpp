#include "src/render_channel.h"

#include "base/Diagnostics.h"
#include "src/thread_check.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const DWORD kPipeBuffer = 64 * 1024;

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

RenderChannel::RenderChannel(int browserId, const std::string& targetId, HANDLE parent)
    : browserId(browserId), targetId(targetId), parent_(parent) {
    writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

RenderChannel::~RenderChannel() {
    Shutdown();
    if (writeEvent_) CloseHandle(writeEvent_);
}

bool RenderChannel::OpenPipe(const std::wstring& name) {
    pipe_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    return pipe_ != INVALID_HANDLE_VALUE;
}

bool RenderChannel::AttachPage(int port, const std::string& browserPath) {
    devtools_.SetEventHandler([this](const std::string& method, const json& params, const std::string& session) {
        OnRuntimeEvent(method, params, session);
    });
    if (!devtools_.Connect(port, browserPath, 5000)) return false;
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
    HANDLE handles[2] = {writeEvent_, parent_};
    DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    DWORD put = 0;
    if (w != WAIT_OBJECT_0) {  // the browser process is gone
        CancelIoEx(pipe_, &ov);
        GetOverlappedResult(pipe_, &ov, &put, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe_, &ov, &put, FALSE) && put == frame.size();
}

bool RenderChannel::Receive(std::vector<CefRefPtr<CefProcessMessage>>* messages) {
    CEF_REQUIRE_THREAD(mainThread_);
    messages->clear();
    if (streamBroken_) return false;
    OVERLAPPED rd = {};
    rd.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!rd.hEvent) return false;
    std::vector<char> buffer(kPipeBuffer);
    bool ok = true;
    while (ok && messages->empty()) {
        if (!ReadFile(pipe_, buffer.data(), (DWORD)buffer.size(), nullptr, &rd) &&
            GetLastError() != ERROR_IO_PENDING) {
            ok = false;
            break;
        }
        HANDLE handles[2] = {rd.hEvent, parent_};
        DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        DWORD got = 0;
        if (w != WAIT_OBJECT_0) {
            CancelIoEx(pipe_, &rd);
            GetOverlappedResult(pipe_, &rd, &got, TRUE);
            ok = false;
            break;
        }
        if (!GetOverlappedResult(pipe_, &rd, &got, FALSE)) {
            ok = false;  // the browser closed its end
            break;
        }
        reader_.Append(buffer.data(), got);
        std::string body;
        bool broken = false;
        while (reader_.Next(&body, &broken)) {
            // A frame that does not decode is dropped; the stream itself is still whole.
            CefRefPtr<CefProcessMessage> message = DecodeProcessMessage(body.data(), body.size());
            if (message) messages->push_back(message);
        }
        if (broken) {
            base::DiagFailure(L"render", L"the pipe from the browser process carries a broken stream (browser %d)",
                              browserId);
            streamBroken_ = true;
            ok = false;
        }
    }
    CloseHandle(rd.hEvent);
    return ok || !messages->empty();
}

void RenderChannel::Shutdown() {
    devtools_.Close();
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
