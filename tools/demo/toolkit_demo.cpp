// A demonstration of the toolkit on screen (not a test): a skinned window with
// its title band, buttons in several looks, a popup menu with its shadow, a
// tooltip and a modal dialog. VORNMARK_DEMO_HOLD_MS keeps it all on screen for
// that long, for a look or a screenshot of the display; run it through
// tools/demo.sh.
#include <cstdio>
#include <string>
#include "common/TestEntry.h"
#include "common/TestUtil.h"
#include "UiTestSupport.h"
#include "resource_ids.h"
#include "ui/ImageDialog.h"
#include "ui/ImageMenu.h"
#include "ui/ImageRes.h"
#include "ui/ImageTipCtrl.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buf[1024] = {0};
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return n && n < 1024 ? buf : L"";
}

class DemoDialog : public CImageDialog {
public:
    std::function<void()> onTimer;
    void OnTimer(UINT_PTR id) override {
        KillTimer(hwnd, id);
        if (onTimer) onTimer();
    }
    bool OnItemClick(CImageButton* b) override {
        result = b->id == 1001 ? IDOK : IDCANCEL;
        modalRunning = false;
        DestroyWindow(hwnd);
        return false;
    }
};

CImageButton* TextButton(CImagePaint& panel, int id, RECT r, const wchar_t* text, Gdiplus::ARGB fill,
                         Gdiplus::ARGB hoverFill) {
    CImageButton* b = panel.AddButton(id, 0, 0, 0, 0, r);
    wcscpy(b->text, text);
    b->fillBrushes[0] = new Gdiplus::SolidBrush(Gdiplus::Color(fill));
    b->fillBrushes[1] = new Gdiplus::SolidBrush(Gdiplus::Color(hoverFill));
    b->borderPens[0] = new Gdiplus::Pen(Gdiplus::Color(0xFF7A8CA8), 1.0f);
    return b;
}

}  // namespace

// Stops the demo with a message when a window it needs did not come.
#define DEMO_REQUIRE(condition)                                     \
    if (!(condition)) {                                             \
        fprintf(stderr, "toolkit demo: %s failed\n", #condition); \
        failed = true;                                              \
        return;                                                     \
    }

int wmain() {
    testutil::KeepWindowsUnmanagedUnderWine();
    bool failed = false;
    testutil::RunWithManager([&] {
        // A plain backdrop standing in for a desktop, so that the shadows have something to fall on.
        CImageCtrl desk;
        desk.panel.backgroundColor = 0xFF5B7FA6;
        desk.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 0, 0, 1000, 640, nullptr);

        // The main skinned window.
        CImageCtrl main;
        main.shadow = new CShadowCtrl;
        main.shadow->Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr);
        main.cutCorners = true;
        main.resizable = true;
        main.panel.captionDrag = true;
        main.panel.backgroundColor = 0xFFF3F5F9;
        HWND h = main.Create(0, nullptr, L"toolkit demo", WS_POPUP, 80, 60, 720, 460, nullptr);
        DEMO_REQUIRE(IsWindow(h));
        CImagePaint& p = main.panel;
        CImageStatic* band = p.AddStatic(IDB_TITLE_BACKGROUND, 10011, true, RECT{0, 0, 720, 25});
        band->rightMargin = 0;
        band->fixedLeft = 0;
        p.AddStatic(IDB_TITLE_EMBLEM, 10012, false, RECT{5, 4, 21, 20});
        CImageStatic* title = p.AddStatic(0, 10030, false, RECT{26, 0, 320, 25});
        wcscpy(title->text, L"Vornmark — 皮肤控件演示");
        title->textAlign = 0;
        delete title->textBrush;
        title->textBrush = new Gdiplus::SolidBrush(Gdiplus::Color(0xFFFFFFFF));
        struct TitleButton {
            int id, normal, hover, pressed, right;
        };
        const TitleButton tb[] = {{10, IDB_TITLE_CLOSE_NORMAL, IDB_TITLE_CLOSE_HOVER, IDB_TITLE_CLOSE_HOVER, 0},
                                  {30, IDB_TITLE_MAX_NORMAL, IDB_TITLE_MAX_HOVER, IDB_TITLE_MAX_PRESSED, 25},
                                  {40, IDB_TITLE_RESTORE_NORMAL, IDB_TITLE_RESTORE_HOVER, IDB_TITLE_RESTORE_PRESSED, 25},
                                  {20, IDB_TITLE_MIN_NORMAL, IDB_TITLE_MIN_HOVER, IDB_TITLE_MIN_PRESSED, 50},
                                  {10017, IDB_TITLE_FULLSCREEN_NORMAL, IDB_TITLE_FULLSCREEN_HOVER,
                                   IDB_TITLE_FULLSCREEN_PRESSED, 75},
                                  {10013, IDB_TITLE_TOOLS_NORMAL, IDB_TITLE_TOOLS_HOVER, IDB_TITLE_TOOLS_PRESSED, 100}};
        for (const TitleButton& t : tb) {
            CImageButton* b = p.AddButton(t.id, t.normal, t.hover, t.pressed, t.normal, RECT{0, 0, 25, 25});
            b->rightMargin = t.right;
            b->showText = false;
        }
        p.FindButton(40)->visible = false;
        const int portal[] = {IDB_TITLE_SERVICE_STRIP, IDB_TITLE_FORUM_STRIP, IDB_TITLE_GAMEPAGE_STRIP,
                              IDB_TITLE_RECHARGE_STRIP};
        for (int i = 0; i < 4; ++i)
            p.AddButton(10020 + i, 0, 0, 0, 0, RECT{20 + i * 50, 40, 61 + i * 50, 62})->SetImageStrip(portal[i]);
        p.AddButton(10024, 0, 0, 0, 0, RECT{220, 40, 284, 62})->SetImageStrip(IDB_TITLE_ANTIADDICTION_STRIP);
        const int launcher[] = {IDB_LAUNCHER_GAMEPAGE_STRIP, IDB_LAUNCHER_FORUM_STRIP, IDB_LAUNCHER_SERVICE_STRIP,
                                IDB_LAUNCHER_RECHARGE_STRIP};
        for (int i = 0; i < 4; ++i)
            p.AddButton(1003 + i, 0, 0, 0, 0, RECT{20 + i * 90, 80, 100 + i * 90, 114})->SetImageStrip(launcher[i]);
        TextButton(p, 2001, RECT{20, 140, 120, 170}, L"普通按钮", 0xFFFFFFFF, 0xFFE4EEFB);
        TextButton(p, 2002, RECT{130, 140, 230, 170}, L"Checked", 0xFFFFFFFF, 0xFFE4EEFB)->checked = true;
        p.FindButton(2002)->fillBrushes[2] = new Gdiplus::SolidBrush(Gdiplus::Color(0xFFBFD4F2));
        CImageButton* link = p.AddButton(2003, 0, 0, 0, 0, RECT{240, 140, 340, 170});
        link->type = 2;
        wcscpy(link->text, L"论坛链接");
        link->SetTextColors(0xFF1A5FB4, 0xFFD0421B, 0xFFD0421B);
        CImageButton* iconButton = TextButton(p, 2004, RECT{350, 140, 470, 170}, L"刷新页面", 0xFFFFFFFF, 0xFFE4EEFB);
        iconButton->showIcon = true;
        iconButton->icons[0] = LoadPngResource(IDB_MENU_REFRESH);
        iconButton->iconRect = {6, 5, 26, 25};
        p.AddStatic(IDB_LOGO, 3001, false, RECT{20, 200, 454, 285});
        p.AddStatic(IDB_LOADING_BAR, 3002, false, RECT{20, 300, 420, 330});
        // Items added after the window's first WM_SIZE take their anchored places now.
        RECT client;
        GetClientRect(h, &client);
        p.Layout(client.right, client.bottom);
        main.Show(SW_SHOW);
        uitest::Settle(100);
        // Hover the forum strip so its second frame shows.
        uitest::MouseAt(h, 75, 50);
        UpdateWindow(h);

        // A popup menu with its light shadow, one row hovered.
        CImageMenu menu;
        const int icons[] = {IDB_MENU_CLEAR_CACHE, IDB_MENU_REFRESH, IDB_MENU_BOSS_KEY};
        const wchar_t* texts[] = {L"清除缓存", L"刷新", L"老板键"};
        menu.list.SetHoverColor(0xFFCFE0F7);
        menu.closeOnDeactivate = false;  // stays up while the dialog takes the activation
        for (int i = 0; i < 3; ++i) {
            CImageButton* b = menu.list.AddItem(i + 1)->AddButton(i + 1, RECT{1, 1, 94, 94}, texts[i], 0, 0, 0, 0);
            b->SetTextColors(0xFF0C0C0C, 0xFF0C0C0C, 0xFF0C0C0C);
            b->showIcon = true;
            b->icons[0] = LoadPngResource(icons[i]);
            b->iconRect = {6, 2, 26, 22};
        }
        RECT tools = p.FindButton(10013)->rect;
        POINT below = {tools.left, tools.bottom + 2};
        ClientToScreen(h, &below);
        menu.Popup(below.x, below.y);
        uitest::MouseAt(menu.hwnd, 40, 36);
        UpdateWindow(menu.hwnd);
        DEMO_REQUIRE(IsWindowVisible(menu.hwnd));

        // A tooltip beside the cursor.
        CImageTipCtrl tip;
        tip.Create(0, L"ToolTip", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr);
        wcscpy(tip.text, L"打开论坛（默认浏览器）");
        POINT overLink = {290, 155};
        ClientToScreen(h, &overLink);
        SetCursorPos(overLink.x, overLink.y);
        SendMessageW(tip.hwnd, WM_TIMER, CImageTipCtrl::kTimerId, 0);
        UpdateWindow(tip.hwnd);

        // The modal dialog, captured while its loop runs.
        DemoDialog dialog;
        dialog.shadow = new CShadowCtrl;
        dialog.shadow->Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr);
        dialog.panel.captionDrag = true;
        HWND d = dialog.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 420, 330, 295, 190, nullptr);
        DEMO_REQUIRE(IsWindow(d));
        dialog.panel.AddStatic(IDB_CLOSEDLG_BACKGROUND, 1011, false, RECT{0, 0, 295, 190});
        dialog.panel.AddButton(1001, IDB_CLOSEDLG_OK_NORMAL, IDB_CLOSEDLG_OK_HOVER, IDB_CLOSEDLG_OK_HOVER,
                               IDB_CLOSEDLG_OK_NORMAL, RECT{60, 135, 128, 170});
        dialog.panel.AddButton(1002, IDB_CLOSEDLG_CANCEL_NORMAL, IDB_CLOSEDLG_CANCEL_HOVER, IDB_CLOSEDLG_CANCEL_HOVER,
                               IDB_CLOSEDLG_CANCEL_NORMAL, RECT{167, 135, 235, 170});
        // Drawn with per-pixel alpha, as the close confirmation is.
        dialog.panel.EnableLayered();
        bool captured = false;
        std::wstring hold = Env(L"VORNMARK_DEMO_HOLD_MS");
        dialog.onTimer = [&] {
            UpdateWindow(menu.hwnd);
            captured = true;
            // Ends the loop as a click on the confirm button would.
            uitest::MouseAt(d, 80, 150);
            uitest::SendMouse(d, WM_LBUTTONDOWN, 80, 150, MK_LBUTTON);
            uitest::SendMouse(d, WM_LBUTTONUP, 80, 150);
        };
        SetTimer(d, 1, hold.empty() ? 300 : _wtoi(hold.c_str()), nullptr);
        dialog.RunModal();
        if (!captured) {
            fprintf(stderr, "toolkit demo: the dialog's loop ended early\n");
            failed = true;
        }
        DestroyWindow(tip.hwnd);
        DestroyWindow(h);
        DestroyWindow(desk.hwnd);
    });
    return failed ? 1 : 0;
}
