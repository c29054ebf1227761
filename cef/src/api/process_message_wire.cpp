#include "src/api/process_message_wire.h"

#include <cstdint>
#include <cstring>

namespace cef_internal {
namespace {

enum WireType : uint8_t { kNull = 0, kBool = 1, kInt = 2, kDouble = 3, kString = 4 };
const uint32_t kDevToolsFrameBit = 0x80000000u;

void PutU32(std::string* out, uint32_t v) {
    char b[4] = {(char)(v & 0xFF), (char)((v >> 8) & 0xFF), (char)((v >> 16) & 0xFF), (char)((v >> 24) & 0xFF)};
    out->append(b, 4);
}

void PutString(std::string* out, const std::wstring& s) {
    PutU32(out, (uint32_t)s.size());
    for (wchar_t c : s) {
        char b[2] = {(char)(c & 0xFF), (char)((c >> 8) & 0xFF)};
        out->append(b, 2);
    }
}

uint32_t GetU32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Bounds-checked reading of a frame body.
class Cursor {
public:
    Cursor(const char* data, size_t size) : p_((const unsigned char*)data), left_(size) {}
    bool U8(uint8_t* v) {
        if (left_ < 1) return false;
        *v = *p_++;
        --left_;
        return true;
    }
    bool U32(uint32_t* v) {
        if (left_ < 4) return false;
        *v = GetU32(p_);
        p_ += 4;
        left_ -= 4;
        return true;
    }
    bool Bytes(void* out, size_t n) {
        if (left_ < n) return false;
        memcpy(out, p_, n);
        p_ += n;
        left_ -= n;
        return true;
    }
    bool String(std::wstring* s) {
        uint32_t units = 0;
        if (!U32(&units) || units > left_ / 2) return false;
        s->resize(units);
        for (uint32_t i = 0; i < units; ++i) (*s)[i] = (wchar_t)(p_[2 * i] | (p_[2 * i + 1] << 8));
        p_ += 2 * (size_t)units;
        left_ -= 2 * (size_t)units;
        return true;
    }
    bool AtEnd() const { return left_ == 0; }
    size_t Left() const { return left_; }

private:
    const unsigned char* p_;
    size_t left_;
};

}  // namespace

std::string EncodeProcessMessage(CefRefPtr<CefProcessMessage> message) {
    std::string body;
    if (!message) return body;
    PutString(&body, message->GetName().ToWString());
    CefRefPtr<CefListValue> args = message->GetArgumentList();
    size_t count = args ? args->GetSize() : 0;
    if (count > kMaxWireArguments) return std::string();
    PutU32(&body, (uint32_t)count);
    for (size_t i = 0; i < count; ++i) {
        // Past kMaxWireFrame the peer would take the stream for broken: no need to go on.
        if (body.size() > kMaxWireFrame) return std::string();
        int index = (int)i;
        switch (args->GetType(index)) {
            case VTYPE_BOOL:
                body += (char)kBool;
                body += (char)(args->GetBool(index) ? 1 : 0);
                break;
            case VTYPE_INT:
                body += (char)kInt;
                PutU32(&body, (uint32_t)args->GetInt(index));
                break;
            case VTYPE_DOUBLE: {
                body += (char)kDouble;
                double d = args->GetDouble(index);
                char b[8];
                memcpy(b, &d, 8);  // both ends are the same executable on the same machine
                body.append(b, 8);
                break;
            }
            case VTYPE_STRING: {
                std::wstring s = args->GetString(index).ToWString();
                if (s.size() > kMaxWireFrame / 2) return std::string();  // before building it
                body += (char)kString;
                PutString(&body, s);
                break;
            }
            default:
                // Kinds this layer's lists cannot hold arrive as null, keeping the positions.
                body += (char)kNull;
                break;
        }
    }
    if (body.size() > kMaxWireFrame) return std::string();
    std::string frame;
    PutU32(&frame, (uint32_t)body.size());
    frame += body;
    return frame;
}

CefRefPtr<CefProcessMessage> DecodeProcessMessage(const char* data, size_t size) {
    Cursor in(data, size);
    std::wstring name;
    uint32_t count = 0;
    // Text from the other process is stored as well-formed UTF-16 only.
    // Each argument takes at least its type byte: a count beyond the bytes left is a
    // lie, and the list would be allocated before the lie shows.
    if (!in.String(&name) || !in.U32(&count) || count > in.Left() || count > kMaxWireArguments) return nullptr;
    CefRefPtr<CefProcessMessage> message = CefProcessMessage::Create(WellFormedUtf16(name));
    CefRefPtr<CefListValue> args = message->GetArgumentList();
    args->SetSize(count);
    for (uint32_t i = 0; i < count; ++i) {
        int index = (int)i;
        uint8_t type = 0;
        if (!in.U8(&type)) return nullptr;
        switch (type) {
            case kNull:
                args->SetNull(index);
                break;
            case kBool: {
                uint8_t b = 0;
                if (!in.U8(&b)) return nullptr;
                args->SetBool(index, b != 0);
                break;
            }
            case kInt: {
                uint32_t v = 0;
                if (!in.U32(&v)) return nullptr;
                args->SetInt(index, (int)v);
                break;
            }
            case kDouble: {
                double d = 0;
                if (!in.Bytes(&d, 8)) return nullptr;
                args->SetDouble(index, d);
                break;
            }
            case kString: {
                std::wstring s;
                if (!in.String(&s)) return nullptr;
                args->SetString(index, WellFormedUtf16(s));
                break;
            }
            default:
                return nullptr;
        }
    }
    return in.AtEnd() ? message : nullptr;
}

std::string EncodeDevToolsFrame(const std::string& text) {
    if (text.size() > kMaxWireFrame) return std::string();
    std::string frame;
    frame.reserve(4 + text.size());
    PutU32(&frame, (uint32_t)text.size() | kDevToolsFrameBit);
    frame += text;
    return frame;
}

std::wstring WellFormedUtf16(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                out += c;
                out += text[++i];
            }
            continue;  // a high half with no low half
        }
        if (c >= 0xDC00 && c <= 0xDFFF) continue;  // a low half on its own
        out += c;
    }
    return out;
}

bool WireReader::Next(std::string* body, bool* broken, bool* devtools) {
    *broken = false;
    if (buffer_.size() < 4) return false;
    uint32_t length = GetU32((const unsigned char*)buffer_.data());
    bool isDevTools = (length & kDevToolsFrameBit) != 0;
    length &= ~kDevToolsFrameBit;
    if (devtools) *devtools = isDevTools;
    if (length > kMaxWireFrame || (isDevTools && !devtools)) {
        *broken = true;
        return false;
    }
    if (buffer_.size() - 4 < length) return false;
    body->assign(buffer_, 4, length);
    buffer_.erase(0, 4 + (size_t)length);
    return true;
}

}  // namespace cef_internal
