// The game frame with real windows: the launcher, the switch to the in-game
// layout, the title bar, full screen, the boss key, the tray, closing, and the
// portal buttons through the real shell.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include "FrameTestSupport.h"
#include "common/TestUtil.h"
#include "frame/FrameGame.h"
#include "frame/FrameLogic.h"
#include "frame/PortalAddress.h"
#include "ui/ToolkitMath.h"

using namespace frametest;
using testutil::PumpFor;
using testutil::PumpUntil;

namespace {
RECT WindowRect(HWND h) {
    RECT r = {0, 0, 0, 0};
    GetWindowRect(h, &r);
    return r;
}

RECT WorkArea() {
    RECT r;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
    return r;
}

bool IsTopmost(HWND h) { return (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

std::string Str(const RECT& r) {
    char buf[96];
    snprintf(buf, sizeof(buf), "(%ld, %ld, %ld, %ld)", r.left, r.top, r.right, r.bottom);
    return buf;
}

bool SameRect(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != FALSE; }

// A URL protocol whose handler is this executable, recording
// the address it was started with into `log`; gone again with the object.
class ProtocolRecorder {
public:
    ProtocolRecorder(const std::wstring& scheme, const std::wstring& log) : key_(scheme) {
        std::wstring command = L"\"" + testutil::ModuleDir() + L"\\test_frame.exe\" --record-url \"" + log + L"\" \"%1\"";
        ok_ = SetValue(key_, L"URL Protocol", L"") && SetValue(key_, nullptr, L"URL:test") &&
              SetValue(key_ + L"\\shell\\open\\command", nullptr, command);
    }
    ~ProtocolRecorder() { RegDeleteTreeW(HKEY_CLASSES_ROOT, key_.c_str()); }
    bool ok() const { return ok_; }

private:
    static bool SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        HKEY h;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) !=
            ERROR_SUCCESS)
            return false;
        LONG r = RegSetValueExW(h, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)((value.size() + 1) * 2));
        RegCloseKey(h);
        return r == ERROR_SUCCESS;
    }
    std::wstring key_;
    bool ok_ = false;
};

// Ends the frame's main loop even when a test step failed on the way.
struct LoopGuard {
    HWND frame;
    ~LoopGuard() {
        if (IsWindow(frame)) PostMessageW(frame, WM_FRAME_COMMAND, FRAME_CMD_DESTROY, 0);
    }
};

// Alt+D as the keyboard sends it.
void PressAltD() {
    INPUT in[4] = {};
    for (INPUT& i : in) i.type = INPUT_KEYBOARD;
    in[0].ki.wVk = VK_MENU;
    in[1].ki.wVk = 'D';
    in[2].ki.wVk = 'D';
    in[2].ki.dwFlags = KEYEVENTF_KEYUP;
    in[3].ki.wVk = VK_MENU;
    in[3].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(4, in, sizeof(INPUT));
}

// True while nobody holds Alt+D (probed by a registration of our own).
bool AltDIsFree() {
    if (!RegisterHotKey(nullptr, 77, MOD_ALT, 'D')) return false;
    UnregisterHotKey(nullptr, 77);
    return true;
}
}  // namespace

TEST(FrameWindow, LauncherIsCentredAndCarriesTheFrame) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND back = game.backWindow.hwnd;
        RECT work = WorkArea();
        RECT b = WindowRect(back);
        EXPECT_EQ(b.left, work.left + (work.right - work.left - 1230) / 2) << Str(b);
        EXPECT_EQ(b.top, work.top + (work.bottom - work.top - 728) / 2) << Str(b);
        EXPECT_EQ(b.right - b.left, 1230);
        EXPECT_EQ(b.bottom - b.top, 728);
        RECT f = WindowRect(game.hwnd);
        EXPECT_EQ(f.left, b.left);
        EXPECT_EQ(f.top, b.top + 49);
        EXPECT_EQ(f.right - f.left, 1230);
        EXPECT_EQ(f.bottom - f.top, 620);
        EXPECT_TRUE(IsWindowVisible(back));
        EXPECT_TRUE(IsWindowVisible(game.hwnd));
        // The frame carries the task-bar button and lies on its launcher.
        EXPECT_EQ(GetWindow(game.hwnd, GW_OWNER), back);
        EXPECT_TRUE(GetWindowLongW(game.hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
        EXPECT_TRUE(GetWindowLongW(back, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
        EXPECT_FALSE(GetWindowLongW(back, GWL_EXSTYLE) & WS_EX_APPWINDOW);
        wchar_t text[64] = {0};
        GetWindowTextW(game.hwnd, text, 64);
        EXPECT_STREQ(text, L"Vornmark");
        EXPECT_EQ(game.minWidth, 1230);
        EXPECT_EQ(game.minHeight, 620);
        // The page fills the whole frame; there is no title bar yet.
        RECT host = WindowRect(game.browserHost.hwnd);
        EXPECT_TRUE(SameRect(host, f)) << Str(host);
        EXPECT_TRUE(game.panel.buttons.empty());
        // The launcher's portal buttons and backdrop.
        for (int id : {20, 1002, 1003, 1004, 1005, 1006}) EXPECT_NE(game.backWindow.panel.FindButton(id), nullptr) << id;
        EXPECT_NE(game.backWindow.panel.FindStatic(1007), nullptr);

        // Moving the launcher (as its caption drag does) carries the frame along,
        // whole: it keeps all 620 rows.
        MoveWindow(back, b.left + 40, b.top + 30, 1230, 728, TRUE);
        PumpFor(50);
        f = WindowRect(game.hwnd);
        EXPECT_EQ(f.left, b.left + 40);
        EXPECT_EQ(f.top, b.top + 30 + 49);
        EXPECT_EQ(f.right - f.left, 1230);
        EXPECT_EQ(f.bottom - f.top, 620) << "the frame lost rows to the drag";
        MoveWindow(back, b.left - 25, b.top - 10, 1230, 728, TRUE);
        PumpFor(50);
        EXPECT_EQ(WindowRect(game.hwnd).bottom - WindowRect(game.hwnd).top, 620);

        // Destroying the frame closes the launcher too.
        CloseFrame(game);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(back); }, kWait));
    });
}

TEST(FrameWindow, EnterGameTwiceKeepsOneItemPerId) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND back = game.backWindow.hwnd;
        ASSERT_TRUE(AltDIsFree()) << "another program holds Alt+D";

        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            DWORD posted = GetTickCount();
            PostMessageW(game.hwnd, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
            ASSERT_TRUE(PumpUntil([&] { return game.inGameLayout && !IsWindowVisible(game.hwnd); }, kWait));
            // Hidden, with its shadow, until the maximised show half a second later.
            EXPECT_FALSE(IsWindowVisible(back));
            if (round == 0) {
                // Re-centred at the minimum size before the maximised show.
                RECT f = WindowRect(game.hwnd);
                RECT work = WorkArea();
                EXPECT_EQ(f.right - f.left, 1020);
                EXPECT_EQ(f.bottom - f.top, 750);
                EXPECT_EQ(f.left, work.left + (work.right - work.left - 1020) / 2);
                EXPECT_FALSE(IsZoomed(game.hwnd));
            }
            ASSERT_TRUE(PumpUntil([&] { return IsZoomed(game.hwnd) && IsWindowVisible(game.hwnd); }, kWait));
            EXPECT_GE(GetTickCount() - posted, 450u);

            // The launcher is now the shadow: no items, 6 pixels around the frame.
            EXPECT_TRUE(game.backWindow.shadowMode);
            EXPECT_TRUE(game.backWindow.panel.buttons.empty());
            EXPECT_TRUE(game.backWindow.panel.statics.empty());
            EXPECT_TRUE(IsWindowVisible(back));
            RECT f = WindowRect(game.hwnd);
            RECT s = WindowRect(back);
            EXPECT_TRUE(SameRect(s, toolkit::ShadowRectAround(f, 6))) << Str(s) << " around " << Str(f);

            // Exactly one item per id of the title bar.
            std::map<int, int> count;
            for (CImageButton* b : game.panel.buttons) count[b->id]++;
            for (CImageStatic* st : game.panel.statics) count[st->id]++;
            EXPECT_EQ(count.size(), 13u);
            for (int i = 0; i < kTitleItemCount; ++i) EXPECT_EQ(count[kTitleItems[i].id], 1) << kTitleItems[i].id;
            // Maximised: restore shows, maximise hides.
            EXPECT_FALSE(game.panel.FindButton(30)->visible);
            EXPECT_TRUE(game.panel.FindButton(40)->visible);
            EXPECT_STREQ(game.panel.FindButton(10017)->text, L"全屏(F10)");
            EXPECT_FALSE(game.panel.FindButton(10017)->showText);
            EXPECT_STREQ(game.panel.FindButton(10)->text, L"");

            // Title bar above the page; the page fills the rest.
            RECT host = WindowRect(game.browserHost.hwnd);
            EXPECT_EQ(host.top, f.top + 25);
            EXPECT_EQ(host.bottom, f.bottom);
            EXPECT_EQ(game.browserHost.exactFit, 1);
            EXPECT_EQ(game.minWidth, 1020);
            EXPECT_EQ(game.minHeight, 750);
            EXPECT_TRUE(game.resizable);

            // The title bar lies above its shadow and takes the mouse.
            POINT onBar = {f.right - 13, f.top + 12};
            HWND under = WindowFromPoint(onBar);
            wchar_t underClass[64] = {0};
            GetClassNameW(under, underClass, 64);
            std::string order;
            for (HWND h = GetTopWindow(nullptr); h; h = GetWindow(h, GW_HWNDNEXT)) {
                DWORD pid = 0;
                GetWindowThreadProcessId(h, &pid);
                if (pid != GetCurrentProcessId() || !IsWindowVisible(h)) continue;
                wchar_t c[64] = {0};
                GetClassNameW(h, c, 64);
                char line[160];
                snprintf(line, sizeof(line), " [%p %s ex %lx]", (void*)h, Utf8(c).c_str(), GetWindowLongW(h, GWL_EXSTYLE));
                order += line;
            }
            EXPECT_EQ(under, game.hwnd) << Utf8(underClass) << order;
            EXPECT_FALSE(AltDIsFree()) << "the boss key is not registered";
            EXPECT_TRUE(IsWindow(game.toolTip.hwnd));
            EXPECT_FALSE(IsWindowVisible(game.toolTip.hwnd));
        }
        CloseFrame(game);
        // The boss key goes with the window.
        EXPECT_TRUE(AltDIsFree());
    });
}

TEST(FrameWindow, TitleBarFollowsTheRightEdge) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        ASSERT_TRUE(EnterGame(game));
        ShowWindow(game.hwnd, SW_RESTORE);
        SetWindowPos(game.hwnd, nullptr, 50, 40, 1500, 800, SWP_NOZORDER);
        PumpFor(50);
        RECT client;
        GetClientRect(game.hwnd, &client);
        ASSERT_EQ(client.right, 1500);
        RECT close = game.panel.FindButton(10)->rect;
        EXPECT_EQ(close.left, 1474);
        EXPECT_EQ(close.right, 1499);
        RECT service = game.panel.FindButton(10020)->rect;
        EXPECT_EQ(service.left, 1334);
        EXPECT_EQ(service.right, 1375);
        EXPECT_EQ(service.top, 2);
        EXPECT_EQ(game.panel.FindButton(10013)->rect.left, 1375);
        EXPECT_EQ(game.panel.FindButton(10024)->rect.right, 1500 - 305);
        CImageStatic* bar = game.panel.FindStatic(10011);
        EXPECT_EQ(bar->rect.left, 0);
        EXPECT_EQ(bar->rect.right, 1500);
        // Not maximised: the page keeps off the 1-pixel window edge; the shadow follows.
        RECT f = WindowRect(game.hwnd);
        RECT host = WindowRect(game.browserHost.hwnd);
        EXPECT_EQ(host.left, f.left + 1);
        EXPECT_EQ(host.top, f.top + 25);
        EXPECT_EQ(host.right, f.right - 1);
        EXPECT_EQ(host.bottom, f.bottom - 1);
        EXPECT_TRUE(SameRect(WindowRect(game.backWindow.hwnd), toolkit::ShadowRectAround(f, 6)));
        MoveWindow(game.hwnd, 80, 70, 1500, 800, TRUE);
        PumpFor(50);
        EXPECT_TRUE(SameRect(WindowRect(game.backWindow.hwnd), toolkit::ShadowRectAround(WindowRect(game.hwnd), 6)));
        // Closing takes the shadow off the screen at once, not when its posted close
        // is handled (after the exit's report and the engine's shutdown).
        ASSERT_TRUE(IsWindowVisible(game.backWindow.hwnd));
        DestroyWindow(game.hwnd);
        EXPECT_FALSE(IsWindowVisible(game.backWindow.hwnd));
    });
}

// Whether the full-screen frame is flagged topmost is not checked: Wine 8 links
// an owned window that is made topmost below its own owned popups and so leaves
// the flag off (the frame is owned by its shadow and owns its tooltip). Leaving
// the view must still clear it.
TEST(FrameWindow, FullScreenThroughTheMainLoop) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND frame = game.hwnd, back = game.backWindow.hwnd;
        const int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
        struct Seen {
            bool startKeysIgnored = false, entered = false, left = false, escIdle = false, button = false;
            RECT before = {}, full = {}, after = {};
        } seen;
        std::thread driver([&] {
            LoopGuard guard{frame};
            RECT start = WindowRect(frame);
            // Before the game: Esc and F10 do nothing.
            PostMessageW(frame, WM_KEYDOWN, VK_F10, 0);
            Sleep(300);
            seen.startKeysIgnored = SameRect(WindowRect(frame), start) && !IsTopmost(frame);
            PostMessageW(frame, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
            if (!WaitOn([&] { return GameLayoutShown(game); }, kWait)) return;
            // From a restored size, so that the full-screen view differs from the
            // maximised one whatever the work area.
            ShowWindow(frame, SW_RESTORE);
            SetWindowPos(frame, nullptr, 100, 80, 1200, 800, SWP_NOZORDER);
            seen.before = WindowRect(frame);
            RECT screen = {0, 0, sw, sh};
            PostMessageW(frame, WM_KEYDOWN, VK_F10, 0);
            // The whole screen, the page over the title bar, no shadow.
            seen.entered = WaitOn([&] {
                return SameRect(WindowRect(frame), screen) && SameRect(WindowRect(game.browserHost.hwnd), screen) &&
                       !IsWindowVisible(back);
            }, kWait);
            seen.full = WindowRect(frame);
            PostMessageW(frame, WM_KEYDOWN, VK_ESCAPE, 0);
            seen.left = WaitOn([&] {
                RECT host = WindowRect(game.browserHost.hwnd);
                return SameRect(WindowRect(frame), seen.before) && host.top == seen.before.top + 25 &&
                       IsWindowVisible(back) && !IsTopmost(frame);
            }, kWait);
            seen.after = WindowRect(frame);
            // Esc when not full screen: nothing.
            PostMessageW(frame, WM_KEYDOWN, VK_ESCAPE, 0);
            Sleep(300);
            seen.escIdle = SameRect(WindowRect(frame), seen.before) && !IsTopmost(frame);
            // The title bar's full-screen button does the same as F10.
            RECT fs = game.panel.FindButton(10017)->rect;
            PostClick(frame, Centre(fs).x, Centre(fs).y);
            seen.button = WaitOn([&] { return SameRect(WindowRect(frame), screen) && !IsWindowVisible(back); }, kWait);
            PostMessageW(frame, WM_KEYDOWN, VK_F10, 0);
            seen.button = seen.button && WaitOn([&] {
                return SameRect(WindowRect(frame), seen.before) && IsWindowVisible(back);
            }, kWait);
        });
        game.CreateAndRun();
        driver.join();
        EXPECT_FALSE(IsWindow(frame));
        EXPECT_TRUE(seen.startKeysIgnored);
        EXPECT_TRUE(seen.entered) << Str(seen.full);
        EXPECT_TRUE(SameRect(seen.before, RECT{100, 80, 1300, 880})) << Str(seen.before);
        EXPECT_TRUE(seen.left) << Str(seen.after) << " expected " << Str(seen.before);
        EXPECT_TRUE(seen.escIdle);
        EXPECT_TRUE(seen.button);
    });
}

TEST(FrameWindow, NoKeyboardMenuMode) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        // F10 or a lone Alt: taken by the frame, so the system's keyboard menu
        // mode never swallows the keys that follow.
        EXPECT_NE(game.HandleMessage(WM_SYSCOMMAND, SC_KEYMENU, 0), 0);
        ASSERT_TRUE(EnterGame(game));
        EXPECT_NE(game.HandleMessage(WM_SYSCOMMAND, SC_KEYMENU, 0), 0);
        // Alt+Space is left to the system: it opens the window menu.
        EXPECT_EQ(game.HandleMessage(WM_SYSCOMMAND, SC_KEYMENU, ' '), 0);
    });
}

TEST(FrameWindow, BossKeyAndTrayDoubleClick) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        // Before the game the boss key does not exist.
        EXPECT_TRUE(AltDIsFree());
        ASSERT_TRUE(EnterGame(game));
        HWND back = game.backWindow.hwnd;
        // A window of another thread that the frame owns, as the page's dialogs are.
        std::atomic<HWND> owned{nullptr};
        std::atomic<bool> done{false};
        std::thread pageThread([&] {
            owned = CreateWindowExW(0, L"STATIC", L"page dialog", WS_POPUP | WS_VISIBLE, 10, 10, 100, 60, game.hwnd,
                                    nullptr, nullptr, nullptr);
            while (!done) testutil::PumpFor(20);
            DestroyWindow(owned);
        });
        ASSERT_TRUE(PumpUntil([&] { return owned.load() && IsWindowVisible(owned); }, kWait));

        PressAltD();
        ASSERT_TRUE(PumpUntil([&] { return !IsWindowVisible(game.hwnd); }, kWait)) << "Alt+D did not hide the frame";
        EXPECT_TRUE(game.hiddenByBossKey);
        EXPECT_FALSE(IsWindowVisible(back));
        EXPECT_TRUE(PumpUntil([&] { return !IsWindowVisible(owned); }, kWait)) << "the page's dialog stayed on screen";
        EXPECT_STREQ(game.trayIconData.szTip, L"Vornmark");
        EXPECT_EQ(game.trayIconData.uID, 128u);
        EXPECT_EQ(game.trayIconData.uCallbackMessage, (UINT)WM_TRAY_NOTIFY);
        // Full screen is not possible while hidden.
        SendMessageW(game.hwnd, WM_FRAME_COMMAND, FRAME_CMD_TOGGLE_FULLSCREEN, 0);
        EXPECT_FALSE(game.fullScreen);

        PressAltD();
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(game.hwnd); }, kWait));
        EXPECT_FALSE(game.hiddenByBossKey);
        EXPECT_TRUE(IsWindowVisible(back));
        EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(owned) != FALSE; }, kWait)) << "the page's dialog stayed hidden";
        done = true;
        pageThread.join();

        // Hidden again, then brought back by a double click on the tray icon.
        PressAltD();
        ASSERT_TRUE(PumpUntil([&] { return !IsWindowVisible(game.hwnd); }, kWait));
        PostMessageW(game.hwnd, WM_TRAY_NOTIFY, 128, WM_LBUTTONDBLCLK);
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(game.hwnd); }, kWait));
        EXPECT_FALSE(game.hiddenByBossKey);
        // A later Alt+D hides it again.
        PressAltD();
        EXPECT_TRUE(PumpUntil([&] { return !IsWindowVisible(game.hwnd); }, kWait));
        // Notifications of another icon id are swallowed.
        EXPECT_EQ(SendMessageW(game.hwnd, WM_TRAY_NOTIFY, 99, WM_LBUTTONDBLCLK), 1);
        EXPECT_FALSE(IsWindowVisible(game.hwnd));

        // A notification area that refuses the icon (as without a tray; here it
        // already holds one of that id): the game is minimised, not hidden, so its
        // task-bar button still brings it back.
        PressAltD();
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(game.hwnd); }, kWait));
        NOTIFYICONDATAW taken = game.trayIconData;
        ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &taken));
        PressAltD();
        EXPECT_TRUE(PumpUntil([&] { return IsIconic(game.hwnd) != FALSE; }, kWait)) << "the game is out of reach";
        EXPECT_TRUE(IsWindowVisible(game.hwnd));
        EXPECT_FALSE(game.hiddenByBossKey);
        // The second Alt+D brings it back, as it does from the tray.
        PressAltD();
        EXPECT_TRUE(PumpUntil([&] { return !IsIconic(game.hwnd) && IsWindowVisible(back); }, kWait))
            << "the second Alt+D left the game minimised";
        // Minimised again, brought back by the player's task-bar button: the next
        // Alt+D is a first one again.
        PressAltD();
        ASSERT_TRUE(PumpUntil([&] { return IsIconic(game.hwnd) != FALSE; }, kWait));
        SendMessageW(game.hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
        ASSERT_TRUE(PumpUntil([&] { return !IsIconic(game.hwnd); }, kWait));
        PressAltD();
        EXPECT_TRUE(PumpUntil([&] { return IsIconic(game.hwnd) != FALSE; }, kWait)) << "Alt+D after a restore";
        Shell_NotifyIconW(NIM_DELETE, &taken);
        PressAltD();
        EXPECT_TRUE(PumpUntil([&] { return !IsIconic(game.hwnd) && IsWindowVisible(back); }, kWait));

    });
}

TEST(FrameWindow, TrayMenuCloseEndsTheLoopWithoutQuestion) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND frame = game.hwnd;
        std::atomic<bool> dialogSeen{false};
        struct Seen {
            bool hidden = false, menu = false;
            int rows = 0;
            RECT menuRect = {};
        } seen;
        std::thread driver([&] {
            LoopGuard guard{frame};
            PostMessageW(frame, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
            if (!WaitOn([&] { return GameLayoutShown(game); }, kWait)) return;
            PostMessageW(frame, WM_HOTKEY, HOTKEY_BOSS, MAKELPARAM(MOD_ALT, 'D'));
            seen.hidden = WaitOn([&] { return !IsWindowVisible(frame); }, kWait);
            PlaceCursor(700, 500);
            PostMessageW(frame, WM_TRAY_NOTIFY, 128, WM_RBUTTONUP);
            HWND menu = nullptr;
            seen.menu = WaitOn([&] {
                std::vector<HWND> m = OwnWindows(L"velmar_menu");
                menu = m.empty() ? nullptr : m.front();
                return menu != nullptr;
            }, kWait);
            if (!menu) return;
            seen.menuRect = WindowRect(menu);
            // Second row: "关闭".
            PostMessageW(menu, WM_LBUTTONUP, 0, MAKELPARAM(20, 24 + 12));
            WaitOn([&] {
                if (!OwnWindows(L"velmarcorvel", false).empty()) dialogSeen = true;
                return !IsWindow(frame);
            }, kWait);
        });
        game.CreateAndRun();
        driver.join();
        EXPECT_TRUE(seen.hidden);
        ASSERT_TRUE(seen.menu);
        // 96 x 48, bottom edge at the cursor, 30 pixels left of it (task bar at the bottom).
        EXPECT_EQ(seen.menuRect.right - seen.menuRect.left, 96);
        EXPECT_EQ(seen.menuRect.bottom - seen.menuRect.top, 48);
        EXPECT_EQ(seen.menuRect.bottom, 500);
        EXPECT_EQ(seen.menuRect.left, 670);
        EXPECT_FALSE(IsWindow(frame));
        EXPECT_FALSE(dialogSeen) << "closing from the tray asked a question";
        EXPECT_EQ(game.result, 1);
        EXPECT_FALSE(game.hiddenByBossKey);
    });
}

TEST(FrameWindow, CloseButtonAsksFirst) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND frame = game.hwnd;
        struct Seen {
            bool dialog1 = false, cancelled = false, dialog2 = false, twiceOneDialog = false;
            RECT dialogRect = {};
        } seen;
        std::thread driver([&] {
            LoopGuard guard{frame};
            PostMessageW(frame, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
            if (!WaitOn([&] { return GameLayoutShown(game); }, kWait)) return;
            RECT close = game.panel.FindButton(10)->rect;
            PostClick(frame, Centre(close).x, Centre(close).y);
            HWND dialog = nullptr;
            seen.dialog1 = WaitOn([&] {
                std::vector<HWND> d = OwnWindows(L"velmarcorvel");
                dialog = d.empty() ? nullptr : d.front();
                return dialog != nullptr;
            }, kWait);
            if (!dialog) return;
            seen.dialogRect = WindowRect(dialog);
            // Asking again while it is open only brings it to the front.
            PostClick(frame, Centre(close).x, Centre(close).y);
            Sleep(300);
            seen.twiceOneDialog = OwnWindows(L"velmarcorvel", false).size() == 1;
            PostClick(dialog, 212, 117);  // 取消
            seen.cancelled = WaitOn([&] { return !IsWindow(dialog); }, kWait) && IsWindow(frame);
            Sleep(200);
            seen.cancelled = seen.cancelled && IsWindow(frame);
            PostClick(frame, Centre(close).x, Centre(close).y);
            seen.dialog2 = WaitOn([&] {
                std::vector<HWND> d = OwnWindows(L"velmarcorvel");
                dialog = d.empty() ? nullptr : d.front();
                return dialog != nullptr;
            }, kWait);
            if (!dialog) return;
            PostClick(dialog, 84, 117);  // 确定
            WaitOn([&] { return !IsWindow(frame); }, kWait);
        });
        game.CreateAndRun();
        driver.join();
        EXPECT_TRUE(seen.dialog1);
        const int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
        EXPECT_EQ(seen.dialogRect.left, (sw - 295) / 2);
        EXPECT_EQ(seen.dialogRect.top, (sh - 190) / 2);
        EXPECT_EQ(seen.dialogRect.right - seen.dialogRect.left, 295);
        EXPECT_TRUE(seen.twiceOneDialog);
        EXPECT_TRUE(seen.cancelled) << "cancel closed the game";
        EXPECT_TRUE(seen.dialog2);
        EXPECT_FALSE(IsWindow(frame)) << "confirm did not close the game";
    });
}

TEST(FrameWindow, LauncherCloseAsksFirst) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND frame = game.hwnd, back = game.backWindow.hwnd;
        bool asked = false, launcherHidden = false, pageOnTop = false;
        std::string pageUnder;
        std::thread driver([&] {
            LoopGuard guard{frame};
            auto ask = [&] {
                PostClick(back, 1215, 15);
                HWND dialog = nullptr;
                WaitOn([&] {
                    std::vector<HWND> d = OwnWindows(L"velmarcorvel");
                    dialog = d.empty() ? nullptr : d.front();
                    return dialog != nullptr;
                }, kWait);
                return dialog;
            };
            // 取消: the page lies on the launcher as before, where the mouse reaches it.
            HWND dialog = ask();
            if (!dialog) return;
            PostClick(dialog, 212, 117);
            WaitOn([&] { return !IsWindow(dialog); }, kWait);
            RECT f = WindowRect(frame);
            POINT inPage = {(f.left + f.right) / 2, (f.top + f.bottom) / 2};
            pageOnTop = WaitOn([&] {
                HWND under = WindowFromPoint(inPage);
                return under == frame || IsChild(frame, under);
            }, 2000);
            wchar_t c[64] = {0};
            GetClassNameW(WindowFromPoint(inPage), c, 64);
            pageUnder = Utf8(c);
            asked = (dialog = ask()) != nullptr;
            if (!dialog) return;
            PostClick(dialog, 84, 117);  // 确定
            launcherHidden = WaitOn([&] { return !IsWindowVisible(back); }, kWait);
            WaitOn([&] { return !IsWindow(frame); }, kWait);
        });
        game.CreateAndRun();
        driver.join();
        EXPECT_TRUE(pageOnTop) << "after cancel the mouse reaches " << pageUnder;
        EXPECT_TRUE(asked);
        EXPECT_TRUE(launcherHidden);
        EXPECT_FALSE(IsWindow(frame));
        EXPECT_FALSE(game.inGameLayout);
    });
}

TEST(FrameWindow, LauncherMinimiseAndRestoreFromTheTaskBar) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        HWND back = game.backWindow.hwnd;
        RECT before = WindowRect(game.hwnd);
        PostClick(back, 1189, 15);
        ASSERT_TRUE(PumpUntil([&] { return IsIconic(game.hwnd) && !IsWindowVisible(back); }, kWait));
        // What the frame's task-bar button sends.
        SendMessageW(game.hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
        ASSERT_TRUE(PumpUntil([&] { return !IsIconic(game.hwnd) && IsWindowVisible(back); }, kWait));
        EXPECT_TRUE(SameRect(WindowRect(game.hwnd), before)) << Str(WindowRect(game.hwnd));
        // The same through the system menu commands of the frame itself.
        SendMessageW(game.hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        EXPECT_TRUE(PumpUntil([&] { return IsIconic(game.hwnd) && !IsWindowVisible(back); }, kWait));
        SendMessageW(game.hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
        EXPECT_TRUE(PumpUntil([&] { return !IsIconic(game.hwnd) && IsWindowVisible(back); }, kWait));
    });
}

TEST(FrameWindow, ToolsMenu) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        ASSERT_TRUE(EnterGame(game));
        RECT tools = game.panel.FindButton(10013)->rect;
        POINT at = Centre(tools);
        for (int round = 0; round < 2; ++round) {
            // Opened twice without a choice: the same window moves, no entry twice.
            PostClick(game.hwnd, at.x - round * 3, at.y);
            ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(game.systemMenu.hwnd); }, kWait));
            EXPECT_EQ(game.systemMenu.list.items.size(), 3u);
            POINT cursor;
            GetCursorPos(&cursor);
            RECT m = WindowRect(game.systemMenu.hwnd);
            EXPECT_EQ(m.left, cursor.x - 10);
            EXPECT_EQ(m.top, WindowRect(game.hwnd).top + 30);
            EXPECT_EQ(m.right - m.left, 96);
            EXPECT_EQ(m.bottom - m.top, 72);
        }
        HWND menu = game.systemMenu.hwnd;
        // "清除缓存": only the request for the next start.
        EXPECT_FALSE(app.clearCacheRequested);
        PostMessageW(menu, WM_LBUTTONUP, 0, MAKELPARAM(20, 12));
        ASSERT_TRUE(PumpUntil([&] { return !IsWindow(menu); }, kWait));
        EXPECT_TRUE(app.clearCacheRequested);
        // Reopened after a choice: the rows are there again, once each.
        PostClick(game.hwnd, at.x, at.y);
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(game.systemMenu.hwnd); }, kWait));
        EXPECT_EQ(game.systemMenu.list.items.size(), 3u);
        menu = game.systemMenu.hwnd;
        // "老板键(Alt+D)" only closes the menu.
        PostMessageW(menu, WM_LBUTTONUP, 0, MAKELPARAM(20, 48 + 12));
        ASSERT_TRUE(PumpUntil([&] { return !IsWindow(menu); }, kWait));
        EXPECT_TRUE(IsWindowVisible(game.hwnd));
    });
}

TEST(FrameWindow, ButtonTextsShowAsTooltips) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        ASSERT_TRUE(EnterGame(game));
        HWND tip = game.toolTip.hwnd;
        POINT fs = Centre(game.panel.FindButton(10017)->rect);
        PostMouseMove(game.hwnd, fs.x, fs.y);
        PumpFor(200);
        EXPECT_FALSE(IsWindowVisible(tip)) << "the tip shows before the mouse rested";
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(tip); }, kWait));
        EXPECT_STREQ(game.toolTip.text, L"全屏(F10)");
        POINT cursor;
        GetCursorPos(&cursor);
        RECT t = WindowRect(tip);
        EXPECT_EQ(t.left, cursor.x + 15);
        EXPECT_EQ(t.top, cursor.y + 15);
        // Leaving the button takes the tip away.
        PostMouseMove(game.hwnd, 700, 12);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindowVisible(tip); }, 1000));
        // The next button shows its own text.
        POINT tools = Centre(game.panel.FindButton(10013)->rect);
        PostMouseMove(game.hwnd, tools.x, tools.y);
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(tip); }, kWait));
        EXPECT_STREQ(game.toolTip.text, L"工具");
        // A button without a text has no tip.
        POINT close = Centre(game.panel.FindButton(10)->rect);
        PostMouseMove(game.hwnd, close.x, close.y);
        PumpFor(900);
        EXPECT_FALSE(IsWindowVisible(tip));
    });
}

TEST(FrameWindow, PortalButtonsOpenTheirAddresses) {
    UrlRecorder recorder;
    ASSERT_TRUE(recorder.ok());
    RunWithFrame([&](gameApp& app, CFrameGame& game) {
        HWND back = game.backWindow.hwnd;
        std::vector<std::string> expected;

        // Launcher, nobody logged in yet: recharge is the base alone. (The shell
        // hands on an address without a path with "/" added: winebrowser passes
        // the parsed address's display form.)
        PostClick(back, 776, 26);  // game page
        expected.push_back(Utf8(portal::GamePage()) + "/");
        ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000));
        PostClick(back, 859, 26);  // recharge
        expected.push_back(Utf8(portal::RechargeBase()));
        ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000));

        app.SetUserName(L"张三&x");
        PostClick(back, 942, 26);  // forum
        expected.push_back(Utf8(portal::Forum()));
        ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000));
        PostClick(back, 1025, 26);  // customer service
        expected.push_back(Utf8(portal::ServiceBase()) + "user_name=%E5%BC%A0%E4%B8%89%26x&game_id=1530");
        ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000));
        PostClick(back, 859, 26);  // recharge
        expected.push_back(Utf8(portal::RechargeBase()) + "&user_name=%E5%BC%A0%E4%B8%89%26x");
        ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000));

        // The server is chosen on the engine's thread; the title bar's recharge carries it.
        OnEngineThread([&] {
            CefRefPtr<FakeBrowser> browser = new FakeBrowser();
            CefRefPtr<FakeFrame> frame = new FakeFrame(L"http://g.test/play?act=gamelogin&server_id=s12&t=1");
            game.HandleLoadEnd(browser.get(), frame.get(), 200);
        });
        ASSERT_TRUE(PumpUntil([&] { return IsZoomed(game.hwnd) && IsWindowVisible(game.hwnd); }, kWait));
        struct {
            int id;
            std::string address;
        } const bar[] = {
            {10020, Utf8(portal::ServiceBase()) + "user_name=%E5%BC%A0%E4%B8%89%26x&game_id=1530"},
            {10021, Utf8(portal::Forum())},
            {10022, Utf8(portal::GamePage()) + "/"},
            {10023, Utf8(portal::RechargeBase()) + "&user_name=%E5%BC%A0%E4%B8%89%26x&server_id=s12"},
            {10024, Utf8(portal::AntiAddiction())},
        };
        for (const auto& b : bar) {
            POINT p = Centre(game.panel.FindButton(b.id)->rect);
            PostClick(game.hwnd, p.x, p.y);
            expected.push_back(b.address);
            ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000)) << b.id;
        }
        // A popup of the page opens in the web browser as well, but only a web
        // address: the shell would start whatever program takes a local file or
        // another protocol. (The protocol here is this test's: it records as well.)
        testutil::TempDir dir;
        std::wstring protocolLog = dir.file(L"protocol.txt");
        ProtocolRecorder protocol(L"vmtest-open", protocolLog);
        ASSERT_TRUE(protocol.ok());
        auto popup = [&](const wchar_t* url) {
            bool cancelled = false;
            OnEngineThread([&] {
                CefWindowInfo info;
                CefRefPtr<CefClient> client;
                CefBrowserSettings settings;
                cancelled = game.HandleBeforePopup(CefString(url), info, client, settings);
            });
            return cancelled;
        };
        EXPECT_TRUE(popup(L"vmtest-open:run-me"));
        EXPECT_TRUE(popup(L"http://127.0.0.1:18765/popup?x=1"));
        expected.push_back("http://127.0.0.1:18765/popup?x=1");
        ASSERT_TRUE(recorder.WaitFor(expected.size(), 10000)) << testing::PrintToString(recorder.Lines());

        PumpFor(1500);  // as long again as the web browser took: the other handler would have run
        EXPECT_EQ(recorder.Lines(), expected);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(protocolLog.c_str()))
            << "a page's popup started another program";
    });
}
