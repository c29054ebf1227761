// The application object's key filter and the user name handed over from the
// engine thread.
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include "app/GameApp.h"
#include "frame/FrameGame.h"

namespace {

// Takes the next frame command posted to `target`, or 0 when none is queued.
WPARAM TakeFrameCommand(HWND target) {
    MSG msg;
    if (PeekMessageW(&msg, target, WM_FRAME_COMMAND, WM_FRAME_COMMAND, PM_REMOVE)) return msg.wParam;
    return 0;
}

MSG Key(UINT message, WPARAM vk) {
    MSG msg = {};
    msg.message = message;
    msg.wParam = vk;
    return msg;
}

}  // namespace

TEST(KeyFilter, EscapeAndF10BecomeFrameCommandsOnlyInTheGameLayout) {
    gameApp app;
    CFrameGame game;
    HWND target = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(target);
    HWND saved = game.hwnd;
    game.hwnd = target;

    MSG esc = Key(WM_KEYDOWN, VK_ESCAPE), f10 = Key(WM_KEYDOWN, VK_F10), sysF10 = Key(WM_SYSKEYDOWN, VK_F10);
    MSG upEsc = Key(WM_KEYUP, VK_ESCAPE), charEsc = Key(WM_CHAR, VK_ESCAPE), other = Key(WM_KEYDOWN, 'A');

    // No frame yet.
    EXPECT_EQ(0, app.PreTranslateMessage(&esc));
    EXPECT_EQ(0u, TakeFrameCommand(target));

    app.frame = &game;
    game.inGameLayout = false;
    EXPECT_EQ(0, app.PreTranslateMessage(&esc));
    EXPECT_EQ(0, app.PreTranslateMessage(&f10));
    EXPECT_EQ(0u, TakeFrameCommand(target)) << "keys must do nothing on the login screen";

    game.inGameLayout = true;
    EXPECT_EQ(0, app.PreTranslateMessage(&esc)) << "the key is never consumed";
    EXPECT_EQ(FRAME_CMD_LEAVE_FULLSCREEN, TakeFrameCommand(target));
    EXPECT_EQ(0, app.PreTranslateMessage(&f10));
    EXPECT_EQ(FRAME_CMD_TOGGLE_FULLSCREEN, TakeFrameCommand(target));
    EXPECT_EQ(0, app.PreTranslateMessage(&sysF10));
    EXPECT_EQ(FRAME_CMD_TOGGLE_FULLSCREEN, TakeFrameCommand(target));
    for (MSG* m : {&upEsc, &charEsc, &other}) {
        EXPECT_EQ(0, app.PreTranslateMessage(m));
        EXPECT_EQ(0u, TakeFrameCommand(target)) << "message " << m->message << " key " << m->wParam;
    }

    app.frame = nullptr;
    game.hwnd = saved;
    DestroyWindow(target);
}

TEST(UserName, StoredWideAndAnsiAndCutAt63) {
    gameApp app;
    app.SetUserName(L"abc");
    wchar_t wide[64];
    char ansi[64];
    app.CopyUserName(wide, 64);
    app.CopyUserNameAnsi(ansi, 64);
    EXPECT_EQ(std::wstring(L"abc"), wide);
    EXPECT_EQ(std::string("abc"), ansi);

    std::wstring longName(100, L'n');
    app.SetUserName(longName.c_str());
    app.CopyUserName(wide, 64);
    app.CopyUserNameAnsi(ansi, 64);
    EXPECT_EQ(std::wstring(63, L'n'), wide);
    EXPECT_EQ(std::string(63, 'n'), ansi);

    // The name is written into the settings file: a line break in it must not
    // become a key of its own there.
    app.SetUserName(L"ab\r\nClearCache=1\t\x7F");
    app.CopyUserName(wide, 64);
    app.CopyUserNameAnsi(ansi, 64);
    EXPECT_EQ(std::wstring(L"abClearCache=1"), wide);
    EXPECT_EQ(std::string("abClearCache=1"), ansi);

    app.SetUserName(L"");
    app.CopyUserName(wide, 64);
    EXPECT_EQ(std::wstring(), wide);
    app.SetUserName(nullptr);
    app.CopyUserNameAnsi(ansi, 64);
    EXPECT_EQ(std::string(), ansi);
}

TEST(UserName, AnsiCopyNeverEndsInsideADoubleByteCharacter) {
    gameApp app;
    // 40 Chinese characters: two bytes each in a double-byte code page.
    std::wstring name(40, L'\x73a9');
    app.SetUserName(name.c_str());
    char ansi[64];
    app.CopyUserNameAnsi(ansi, 64);
    size_t len = strlen(ansi);
    EXPECT_LE(len, 63u);
    // Whatever the code page, the kept bytes must convert back without a broken tail.
    if (len > 0) {
        wchar_t back[128] = {0};
        int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, (int)len, back, 128);
        EXPECT_GT(n, 0) << "cut inside a character (code page " << GetACP() << ")";
    }
}

TEST(UserName, ReadersNeverSeeATornName) {
    gameApp app;
    std::wstring a(63, L'a'), b(63, L'b');
    app.SetUserName(a.c_str());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) app.SetUserName((i & 1 ? a : b).c_str());
    });
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        wchar_t wide[64];
        char ansi[64];
        app.CopyUserName(wide, 64);
        app.CopyUserNameAnsi(ansi, 64);
        std::wstring w(wide);
        std::string s(ansi);
        if (w != a && w != b) ++torn;
        if (s != std::string(63, 'a') && s != std::string(63, 'b')) ++torn;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(0, torn);
}
