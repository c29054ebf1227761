// What reaches UpdateLayeredWindow: the drop shadow's outlines and a layered
// panel, read back from the handed-over bitmap (premultiplied ARGB).
#include <gtest/gtest.h>
#include <cstdlib>
#include <vector>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "ui/ImageCtrl.h"
#include "ui/ShadowCtrl.h"

using uitest::LayeredCapture;

namespace {

// Every pixel must be valid premultiplied ARGB: no colour channel above alpha.
int NotPremultiplied(const LayeredCapture& c) {
    int bad = 0;
    for (DWORD p : c.pixels) {
        BYTE a = p >> 24, r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        if (r > a || g > a || b > a) ++bad;
    }
    return bad;
}

// The colour of a premultiplied pixel, back to straight ARGB.
int Straight(DWORD p, int shift) {
    BYTE a = p >> 24;
    return a ? ((p >> shift) & 0xFF) * 255 / a : 0;
}

}  // namespace

TEST(Shadow, OutlinesAtTheDocumentedRectangles) {
    testutil::RunWithManager([] {
        CShadowCtrl shadow;
        ASSERT_NE(nullptr, shadow.Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr));
        EXPECT_EQ(0, wcscmp(shadow.className, L"ShadowCtrl"));
        EXPECT_TRUE(GetWindowLongW(shadow.hwnd, GWL_EXSTYLE) & WS_EX_LAYERED);
        EXPECT_TRUE(GetWindowLongW(shadow.hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
        ASSERT_NE(nullptr, shadow.updateLayeredWindow) << "UpdateLayeredWindow not resolved";

        LayeredCapture cap;
        uitest::SetLayeredCapture(&cap);
        shadow.updateLayeredWindow = uitest::CapturingUpdateLayeredWindow;
        // Owner 200 x 100 at (300, 300): the shadow is 212 x 112 at (294, 294).
        shadow.GlueTo(RECT{300, 300, 500, 400});
        shadow.Repaint(255);
        ASSERT_EQ(1, cap.calls);
        ASSERT_EQ(212, cap.width);
        ASSERT_EQ(112, cap.height);
        EXPECT_EQ(AC_SRC_ALPHA, cap.alphaFormat);
        EXPECT_EQ(255, cap.constantAlpha);
        EXPECT_EQ((DWORD)ULW_ALPHA, cap.flags);
        EXPECT_EQ(0, NotPremultiplied(cap)) << "colour channels above alpha: not premultiplied";

        const int W = 212, H = 112, midY = H / 2, midX = W / 2;
        // Outer outline on x = 1 (pen 2), middle on x = 3 (pen 2), inner on x = 6 (pen 4, x 4..8):
        // alphas 15, 50 and 100 where each pen alone covers a whole pixel; the centre stays clear.
        EXPECT_EQ(0, cap.AlphaAt(midX, midY)) << "the shadow covers its owner's middle";
        EXPECT_EQ(0, cap.AlphaAt(20, 20));
        EXPECT_NEAR(15, cap.AlphaAt(1, midY), 3) << "outer outline";
        EXPECT_NEAR(50, cap.AlphaAt(3, midY), 8) << "middle outline";
        EXPECT_NEAR(100, cap.AlphaAt(6, midY), 8) << "inner outline";
        EXPECT_EQ(0, cap.AlphaAt(9, midY)) << "inside the inner outline";
        // The same on the other sides: (W-2, H-2), (W-4, H-4), (W-7, H-7).
        EXPECT_NEAR(15, cap.AlphaAt(W - 2, midY), 3);
        EXPECT_NEAR(50, cap.AlphaAt(W - 4, midY), 8);
        EXPECT_NEAR(100, cap.AlphaAt(W - 7, midY), 8);
        EXPECT_NEAR(15, cap.AlphaAt(midX, 1), 3);
        EXPECT_NEAR(100, cap.AlphaAt(midX, H - 7), 8);
        EXPECT_LE(cap.AlphaAt(W - 1, midY), 15) << "the outer outline reaches beyond its pen on the right";
        EXPECT_LE(cap.AlphaAt(0, midY), 15);
        // Rounded corners: the very corner stays transparent.
        EXPECT_EQ(0, cap.AlphaAt(0, 0));
        // Dark grey 0x8A.
        EXPECT_NEAR(0x8A, Straight(cap.At(6, midY), 16), 3);

        // The light colour set keeps the alphas and lightens the grey.
        shadow.UseLightColors();
        shadow.Repaint(128);
        EXPECT_EQ(128, cap.constantAlpha);
        EXPECT_NEAR(100, cap.AlphaAt(6, midY), 8);
        EXPECT_NEAR(0x9E, Straight(cap.At(6, midY), 16), 3);

        // Shown again after hiding: drawn again.
        int before = cap.calls;
        shadow.Show(SW_HIDE);
        shadow.Show(SW_SHOW);
        EXPECT_EQ(before + 1, cap.calls) << "showing the shadow does not redraw it";

        // An owner of width 0 gets a shadow of its own size.
        shadow.GlueTo(RECT{300, 300, 300, 400});
        RECT r;
        shadow.GetRect(r);
        EXPECT_EQ(300, r.left);
        EXPECT_EQ(0, r.right - r.left);
        uitest::SetLayeredCapture(nullptr);
        DestroyWindow(shadow.hwnd);
        EXPECT_EQ(nullptr, shadow.pens[0]) << "pens outlived the window";
    });
}

// A large shadow is drawn in nine parts of a small one: it must come out as the
// outlines drawn whole would, pixel for pixel (give or take rounding), on the same
// kind of surface the layered update draws on.
TEST(Shadow, NinePartsDrawWhatTheWholeOutlinesDraw) {
    testutil::RunWithManager([] {
        CShadowPens pens;
        pens.Create(kShadowColors);
        auto render = [&](int w, int h, bool whole) {
            BITMAPINFO bmi = {};
            bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
            bmi.bmiHeader.biWidth = w;
            bmi.bmiHeader.biHeight = -h;
            bmi.bmiHeader.biPlanes = 1;
            bmi.bmiHeader.biBitCount = 32;
            void* bits = nullptr;
            HDC dc = CreateCompatibleDC(nullptr);
            HBITMAP dib = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
            HGDIOBJ old = SelectObject(dc, dib);
            {
                Gdiplus::Graphics g(dc);
                g.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
                RECT client = {0, 0, w, h};
                if (whole) DrawShadowOutlinesWhole(g, client, 6, 3, pens);
                else DrawShadowOutlines(g, client, 6, 3, pens);
            }
            std::vector<DWORD> pixels(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + w * h);
            SelectObject(dc, old);
            DeleteObject(dib);
            DeleteDC(dc);
            return pixels;
        };
        // Just above the size drawn whole anyway, a menu's, the in-game frame's.
        const SIZE sizes[] = {{42, 42}, {212, 112}, {1932, 1092}};
        for (const SIZE& size : sizes) {
            const std::vector<DWORD> whole = render(size.cx, size.cy, true);
            const std::vector<DWORD> parts = render(size.cx, size.cy, false);
            int worst = 0, at = -1, drawn = 0;
            for (size_t i = 0; i < whole.size(); ++i) {
                if (whole[i] >> 24) ++drawn;
                for (int shift = 0; shift < 32; shift += 8) {
                    const int d = std::abs(int((whole[i] >> shift) & 0xFF) - int((parts[i] >> shift) & 0xFF));
                    if (d > worst) worst = d, at = static_cast<int>(i);
                }
            }
            EXPECT_GT(drawn, 2 * (size.cx + size.cy)) << size.cx << "x" << size.cy << ": no outlines drawn at all";
            EXPECT_LE(worst, 2) << size.cx << "x" << size.cy << ": off by " << worst << " at (" << at % size.cx << ", "
                                << at / size.cx << "): whole " << std::hex << whole[at] << ", in parts " << parts[at];
        }
    });
}

TEST(Shadow, FollowsItsControl) {
    testutil::RunWithManager([] {
        CImageCtrl ctrl;
        ctrl.shadow = new CShadowCtrl;
        ctrl.shadow->Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr);
        HWND h = ctrl.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 100, 120, 300, 200, nullptr);
        RECT r;
        ctrl.shadow->GetRect(r);
        EXPECT_TRUE(r.left == 94 && r.top == 114 && r.right == 406 && r.bottom == 326) << "shadow not around the window";
        MoveWindow(h, 200, 220, 300, 200, TRUE);
        ctrl.shadow->GetRect(r);
        EXPECT_EQ(194, r.left) << "the shadow did not follow a move";
        ShowWindow(h, SW_HIDE);
        EXPECT_FALSE(IsWindowVisible(ctrl.shadow->hwnd));
        ShowWindow(h, SW_SHOW);
        EXPECT_TRUE(IsWindowVisible(ctrl.shadow->hwnd));
        HWND shadowWindow = ctrl.shadow->hwnd;
        DestroyWindow(h);
        EXPECT_TRUE(testutil::PumpUntil([&] { return !IsWindow(shadowWindow); }, 2000)) << "shadow window not closed";
    });
}

TEST(Shadow, LayeredPanelHandsOverPremultipliedPixels) {
    testutil::RunWithManager([] {
        CImageCtrl ctrl;
        HWND h = ctrl.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 100, 100, 120, 80, nullptr);
        ctrl.panel.EnableLayered();
        EXPECT_TRUE(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_LAYERED);
        EXPECT_FALSE(ctrl.panel.fillBackground);
        ASSERT_NE(nullptr, ctrl.panel.updateLayeredWindow);

        LayeredCapture cap;
        uitest::SetLayeredCapture(&cap);
        ctrl.panel.updateLayeredWindow = uitest::CapturingUpdateLayeredWindow;
        ctrl.panel.SetBackgroundColor(0x80FF0000);
        CImageButton* b = ctrl.panel.AddButton(1, 0, 0, 0, 0, RECT{10, 50, 60, 70});
        b->fillBrushes[0] = new Gdiplus::SolidBrush(Gdiplus::Color(0xFF0000FF));
        b->fillBrushes[1] = new Gdiplus::SolidBrush(Gdiplus::Color(0xFF00FF00));
        ctrl.panel.UpdateLayered();
        ASSERT_GE(cap.calls, 1);
        ASSERT_EQ(120, cap.width);
        EXPECT_EQ(0, NotPremultiplied(cap));
        EXPECT_EQ(0x80800000u, cap.At(100, 10)) << "half-transparent red background, premultiplied";
        EXPECT_EQ(0xFF0000FFu, cap.At(30, 60)) << "opaque button";

        // A hover in layered mode redraws through UpdateLayeredWindow.
        int before = cap.calls;
        uitest::MouseAt(h, 30, 60);
        EXPECT_GT(cap.calls, before) << "hover did not redraw the layered window";
        EXPECT_EQ(0xFF00FF00u, cap.At(30, 60)) << "hover colour missing";

        // Without the function the fallback callback draws instead.
        int fallbacks = 0;
        ctrl.panel.onLayeredUnavailable = [&] { ++fallbacks; };
        ctrl.panel.updateLayeredWindow = nullptr;
        ctrl.panel.UpdateLayered();
        EXPECT_EQ(1, fallbacks);
        uitest::SetLayeredCapture(nullptr);
        DestroyWindow(h);
    });
}

// Drawn as it shows, at the size it has then; nothing is drawn while it is hidden.
TEST(Shadow, HiddenLayeredPanelIsDrawnAsItShows) {
    testutil::RunWithManager([] {
        CImageCtrl ctrl;
        HWND h = ctrl.Create(0, nullptr, L"", WS_POPUP, 100, 100, 120, 80, nullptr);
        ctrl.panel.EnableLayered();
        ASSERT_NE(nullptr, ctrl.panel.updateLayeredWindow);
        LayeredCapture cap;
        uitest::SetLayeredCapture(&cap);
        ctrl.panel.updateLayeredWindow = uitest::CapturingUpdateLayeredWindow;
        ctrl.panel.SetBackgroundColor(0xFF102030);
        SetWindowPos(h, nullptr, 0, 0, 160, 90, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        EXPECT_EQ(0, cap.calls) << "a hidden panel was drawn";

        ShowWindow(h, SW_SHOWNA);
        EXPECT_EQ(1, cap.calls) << "showing should draw the panel once";
        EXPECT_EQ(160, cap.width);
        EXPECT_EQ(90, cap.height);
        EXPECT_EQ(0xFF102030u, cap.At(150, 85)) << "the new size's corner is not drawn";
        uitest::SetLayeredCapture(nullptr);
        DestroyWindow(h);
    });
}
