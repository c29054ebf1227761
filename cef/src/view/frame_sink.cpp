#include "src/view/frame_sink.h"

#include <objidl.h>
#include <shlwapi.h>
#include <gdiplus.h>
#include "src/engine/devtools.h"

namespace cef_internal {

FrameSink::FrameSink(HWND window) : window_(window) {
    wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wake_) thread_ = CreateThread(nullptr, 0, DecoderMain, this, 0, nullptr);
}

FrameSink::~FrameSink() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    if (thread_) {
        SetEvent(wake_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (wake_) CloseHandle(wake_);
}

void FrameSink::Push(std::string base64Jpeg) {
    ++received;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stop_) return;
        pending_.swap(base64Jpeg);
        hasPending_ = true;
    }
    SetEvent(wake_);
}

std::shared_ptr<const Picture> FrameSink::Latest() {
    std::lock_guard<std::mutex> guard(lock_);
    return current_;
}

void FrameSink::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    current_.reset();
    pending_.clear();
    hasPending_ = false;
}

DWORD WINAPI FrameSink::DecoderMain(LPVOID self) {
    static_cast<FrameSink*>(self)->DecodeLoop();
    return 0;
}

void FrameSink::DecodeLoop() {
    std::string work;
    for (;;) {
        WaitForSingleObject(wake_, INFINITE);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) return;
            if (!hasPending_) continue;
            work.swap(pending_);
            pending_.clear();
            hasPending_ = false;
        }
        LARGE_INTEGER start, now;
        QueryPerformanceCounter(&start);
        std::shared_ptr<Picture> picture = Decode(work);
        QueryPerformanceCounter(&now);
        decodeQpcTotal += now.QuadPart - start.QuadPart;
        if (!picture) continue;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) return;
            current_ = picture;
        }
        ++decoded;
        LONGLONG expected = 0;
        firstDecodedQpc.compare_exchange_strong(expected, now.QuadPart);
        lastDecodedQpc = now.QuadPart;
        // No erase: the painter covers the whole client area itself.
        InvalidateRect(window_, nullptr, FALSE);
    }
}

std::shared_ptr<Picture> FrameSink::Decode(const std::string& base64) {
    std::string jpeg;
    if (!Base64Decode(base64.data(), base64.size(), &jpeg) || jpeg.empty()) return nullptr;
    IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(jpeg.data()), (UINT)jpeg.size());
    if (!stream) return nullptr;
    std::shared_ptr<Picture> picture;
    {
        Gdiplus::Bitmap bitmap(stream);
        if (bitmap.GetLastStatus() == Gdiplus::Ok) {
            int w = (int)bitmap.GetWidth();
            int h = (int)bitmap.GetHeight();
            if (w > 0 && h > 0 && w <= 16384 && h <= 16384) {
                picture = std::make_shared<Picture>();
                picture->width = w;
                picture->height = h;
                picture->pixels.resize((size_t)w * h);
                // Decode straight into our buffer: one pass, no intermediate copy.
                Gdiplus::BitmapData data = {};
                data.Width = w;
                data.Height = h;
                data.Stride = w * 4;
                data.PixelFormat = PixelFormat32bppRGB;
                data.Scan0 = picture->pixels.data();
                Gdiplus::Rect rect(0, 0, w, h);
                if (bitmap.LockBits(&rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                                    PixelFormat32bppRGB, &data) == Gdiplus::Ok)
                    bitmap.UnlockBits(&data);
                else
                    picture.reset();
            }
        }
    }
    stream->Release();
    return picture;
}

}  // namespace cef_internal
