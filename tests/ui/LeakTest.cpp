// Windows of every kind, created, used and destroyed again and again, leave no
// GDI object and no window behind.
#include <gtest/gtest.h>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "resource_ids.h"
#include "ui/ImageCtrlEx.h"
#include "ui/ImageDialog.h"
#include "ui/ImageMenu.h"
#include "ui/ImageTipCtrl.h"

namespace {

void UseEverything() {
    {
        CImageDialog dialog;
        dialog.shadow = new CShadowCtrl;
        dialog.shadow->Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr);
        dialog.cutCorners = true;
        dialog.resizable = true;
        HWND h = dialog.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300, nullptr);
        dialog.panel.AddStatic(IDB_LAUNCHER_BACKGROUND, 1007, false, RECT{0, 0, 400, 300});
        dialog.panel.AddStatic(IDB_TITLE_BACKGROUND, 10011, true, RECT{0, 0, 400, 25})->rightMargin = 0;
        dialog.panel.AddButton(1003, 0, 0, 0, 0, RECT{10, 40, 90, 74})->SetImageStrip(IDB_LAUNCHER_GAMEPAGE_STRIP);
        CImageButton* close = dialog.panel.AddButton(1, IDB_TITLE_CLOSE_NORMAL, IDB_TITLE_CLOSE_HOVER,
                                                      IDB_TITLE_CLOSE_HOVER, IDB_TITLE_CLOSE_NORMAL, RECT{370, 0, 395, 25});
        close->borderPens[0] = new Gdiplus::Pen(Gdiplus::Color(0xFF000000));
        close->SetTextColors(0xFF000000, 0xFF202020, 0xFF404040);
        wcscpy(close->text, L"x");
        HICON icon = LoadIconW(nullptr, IDI_APPLICATION);
        dialog.SetIcon(icon, false);
        dialog.SetIcon(icon, true);
        dialog.SetIcon(icon, false);
        uitest::MouseAt(h, 20, 50);
        uitest::SendMouse(h, WM_LBUTTONDOWN, 20, 50, MK_LBUTTON);
        uitest::SendMouse(h, WM_LBUTTONUP, 20, 50);
        MoveWindow(h, 120, 120, 500, 350, TRUE);
        UpdateWindow(h);
        dialog.panel.EnableLayered();
        dialog.panel.UpdateLayered();
        DestroyWindow(h);
    }
    {
        CImageMenu menu;
        for (int i = 0; i < 3; ++i)
            menu.list.AddItem(i)->AddButton(i, RECT{1, 1, 94, 94}, L"entry", 0, 0, 0, 0);
        menu.list.SetHoverColor(0xFFCCE0FF);
        menu.Popup(300, 300);
        uitest::MouseAt(menu.hwnd, 20, 30);
        UpdateWindow(menu.hwnd);
        menu.Show(SW_HIDE);
        menu.Popup(320, 300);
        // The object goes first; its windows close through the posted WM_CLOSE.
    }
    {
        CImageTipCtrl tip;
        HWND h = tip.Create(0, L"ToolTip", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr);
        wcscpy(tip.text, L"tip");
        SendMessageW(h, WM_TIMER, CImageTipCtrl::kTimerId, 0);
        UpdateWindow(h);
        DestroyWindow(h);
    }
    {
        CImageCtrlEx list;
        list.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 500, 100, 96, 100, nullptr);
        list.list.AddItem(1);
        UpdateWindow(list.hwnd);
    }
    testutil::PumpUntil([] { return uitest::ThreadWindowCount() == 0; }, 3000);
}

}  // namespace

TEST(Leaks, NoGdiObjectOrWindowSurvivesCreateDestroyCycles) {
    testutil::RunWithManager([] {
        ASSERT_GT(uitest::GdiObjectCount(), 0) << "no way to count GDI objects here";
        UseEverything();  // first use: caches, fonts, classes
        UseEverything();
        EXPECT_EQ(0, uitest::ThreadWindowCount()) << "windows left open";
        int before = uitest::GdiObjectCount();
        for (int i = 0; i < 4; ++i) UseEverything();
        int after = uitest::GdiObjectCount();
        EXPECT_EQ(before, after) << "GDI objects leaked over four cycles";
        EXPECT_EQ(0, uitest::ThreadWindowCount());
    });
}
