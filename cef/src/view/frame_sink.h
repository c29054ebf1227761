// Pictures of a page: screencast frames arrive on the DevTools reader thread, are
// decoded once on a thread of their own and handed to the window for painting.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cef_internal {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // top-down rows of 32-bit BGRX
};

class FrameSink {
public:
    // `window` is invalidated (without erasing) whenever a new picture is ready.
    explicit FrameSink(HWND window);
    // Stops and joins the decoder.
    ~FrameSink();

    // Reader thread: keeps only the newest undecoded frame, so a slow decode drops
    // stale frames instead of queueing them.
    void Push(std::string base64Jpeg);
    // Any thread: the latest decoded picture (null before the first one).
    std::shared_ptr<const Picture> Latest();
    // Forgets the current picture (after a crash the notice is painted instead).
    void Reset();

    std::atomic<int> received{0};
    std::atomic<int> decoded{0};
    std::atomic<LONGLONG> firstDecodedQpc{0};
    std::atomic<LONGLONG> lastDecodedQpc{0};
    std::atomic<LONGLONG> decodeQpcTotal{0};  // time spent decoding

private:
    static DWORD WINAPI DecoderMain(LPVOID self);
    void DecodeLoop();
    std::shared_ptr<Picture> Decode(const std::string& base64);

    HWND window_;
    HANDLE thread_ = nullptr;
    HANDLE wake_ = nullptr;  // auto-reset: a frame is waiting or we are stopping
    std::mutex lock_;        // guards pending_, hasPending_, stop_ and current_
    std::string pending_;
    bool hasPending_ = false;
    bool stop_ = false;
    std::shared_ptr<const Picture> current_;

    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;
};

}  // namespace cef_internal
