// Image resources, frames of strips, fonts and what a button draws per state.
#include <gtest/gtest.h>
#include <memory>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "resource_ids.h"
#include "ui/ImageButton.h"
#include "ui/ImageRes.h"

using namespace Gdiplus;
using uitest::Canvas;

namespace {

const DWORD kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF;

// Pixels that are neither transparent nor `fill`: text, mostly.
int Ink(const Canvas& c, DWORD fill = 0) {
    int n = 0;
    for (DWORD p : c.pixels)
        if ((p >> 24) && p != fill) ++n;
    return n;
}

Canvas DrawButton(CImageButton& b, int w, int h, int mx, int my, bool down) {
    return uitest::Render(w, h, [&](Graphics& g) { b.Draw(g, mx, my, down, 0, 0, 0, 0); });
}

std::wstring FamilyOf(Font* font) {
    FontFamily family;
    font->GetFamily(&family);
    WCHAR name[LF_FACESIZE] = {0};
    family.GetFamilyName(name);
    return name;
}

}  // namespace

TEST(Images, EveryPngResourceDecodesWithItsSize) {
    const int docs[][3] = {
        {130, 33, 16},  {131, 160, 34}, {132, 160, 34}, {133, 160, 34},   {134, 160, 34}, {135, 31, 16},
        {137, 50, 50},  {138, 82, 22},  {139, 82, 22},  {140, 82, 22},    {141, 82, 22},  {142, 295, 190},
        {144, 68, 35},  {145, 1230, 728}, {146, 68, 35}, {147, 68, 35},   {148, 68, 35},  {149, 400, 30},
        {150, 20, 20},  {151, 25, 25},  {152, 25, 25},  {153, 25, 25},    {154, 25, 25},  {155, 25, 25},
        {156, 25, 25},  {157, 25, 25},  {158, 128, 22}, {196, 25, 25},    {208, 25, 25},  {209, 25, 25},
        {210, 25, 25},  {211, 25, 25},  {212, 25, 25},  {213, 25, 25},    {214, 25, 25},  {215, 25, 25},
        {216, 25, 25},  {217, 25, 25},  {219, 4, 16},   {220, 4, 16},     {221, 434, 85}, {226, 20, 20},
        {227, 20, 20},  {228, 20, 20}};
    testutil::RunWithManager([&] {
        for (const auto& d : docs) {
            std::unique_ptr<Image> image(LoadPngResource(d[0]));
            ASSERT_NE(nullptr, image.get()) << "PNG " << d[0] << " missing or undecodable";
            EXPECT_EQ((UINT)d[1], image->GetWidth()) << "PNG " << d[0];
            EXPECT_EQ((UINT)d[2], image->GetHeight()) << "PNG " << d[0];
        }
        EXPECT_EQ(nullptr, LoadPngResource(0));
        EXPECT_EQ(nullptr, LoadPngResource(129)) << "no PNG resource has id 129";
        EXPECT_EQ(nullptr, LoadPngResource(IDI_MAIN)) << "an icon is not a PNG resource";
        // Each image keeps its own stream: the second still draws once the first is gone.
        Image* a = LoadPngResource(IDB_TITLE_CLOSE_NORMAL);
        std::unique_ptr<Image> b(LoadPngResource(IDB_TITLE_CLOSE_NORMAL));
        delete a;
        EXPECT_GT(Ink(uitest::Render(25, 25, [&](Graphics& g) { g.DrawImage(b.get(), 0, 0, 25, 25); })), 0);
    });
}

TEST(Images, StripFramesAreExactHalves) {
    testutil::RunWithManager([] {
        // Odd widths (33 and 31): both frames are W/2 wide and the last column belongs to neither.
        for (int id : {IDB_LAUNCHER_CLOSE_STRIP, IDB_LAUNCHER_MIN_STRIP, IDB_LAUNCHER_GAMEPAGE_STRIP}) {
            CImageButton button(nullptr, 1, RECT{0, 0, 10, 10}, L"");
            button.SetImageStrip(id);
            ASSERT_TRUE(button.strip && button.images[0] && button.images[1]) << id;
            int W = (int)button.strip->GetWidth(), H = (int)button.strip->GetHeight();
            EXPECT_EQ((UINT)(W / 2), button.images[0]->GetWidth()) << id;
            EXPECT_EQ((UINT)(W / 2), button.images[1]->GetWidth()) << id;
            EXPECT_EQ(nullptr, button.images[2]) << "the pressed image is left alone";
            int mismatches = 0;
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W / 2; ++x) {
                    if (uitest::ImagePixel(button.images[0], x, y) != uitest::ImagePixel(button.strip, x, y)) ++mismatches;
                    if (uitest::ImagePixel(button.images[1], x, y) != uitest::ImagePixel(button.strip, W / 2 + x, y))
                        ++mismatches;
                }
            EXPECT_EQ(0, mismatches) << "frames of strip " << id << " differ from the strip, alpha included";
        }
    });
}

TEST(Images, StatesAndTheirFallbacks) {
    testutil::RunWithManager([] {
        // After SetImageStrip a pressed button has no pressed image and shows the hover frame.
        CImageButton strip(nullptr, 1, RECT{0, 0, 80, 34}, L"");
        strip.SetImageStrip(IDB_LAUNCHER_GAMEPAGE_STRIP);
        Canvas hover = uitest::Render(80, 34, [&](Graphics& g) { g.DrawImage(strip.images[1], 0, 0, 80, 34); });
        Canvas normal = uitest::Render(80, 34, [&](Graphics& g) { g.DrawImage(strip.images[0], 0, 0, 80, 34); });
        ASSERT_NE(hover.pixels, normal.pixels) << "the strip's two frames look alike; the test proves nothing";
        EXPECT_EQ(hover.pixels, DrawButton(strip, 80, 34, 10, 10, true).pixels) << "pressed does not show the hover frame";
        EXPECT_EQ(normal.pixels, DrawButton(strip, 80, 34, 80, 10, true).pixels) << "the right edge is outside";

        CImageButton b(nullptr, 1, RECT{0, 0, 40, 20}, L"");
        b.SetImages(0, 0, 0, 0);
        b.fillBrushes[0] = new SolidBrush(Color(kRed));
        b.fillBrushes[1] = new SolidBrush(Color(kGreen));
        auto centre = [&](int mx, bool down) { return DrawButton(b, 40, 20, mx, 5, down).At(20, 10); };
        EXPECT_EQ(kRed, centre(-1, false));
        EXPECT_EQ(kGreen, centre(5, false));
        EXPECT_EQ(kRed, centre(5, true)) << "a pressed fill falls back to the normal one, not to hover";
        b.fillBrushes[2] = new SolidBrush(Color(kBlue));
        b.checked = true;
        EXPECT_EQ(kBlue, centre(-1, false)) << "checked shows the pressed look anywhere";
        b.visible = false;
        EXPECT_EQ(0u, centre(5, false)) << "an invisible button draws something";

        // SetImages with a normal id of 0 keeps the images.
        b.SetImages(IDB_CLOSEDLG_OK_NORMAL, IDB_CLOSEDLG_OK_HOVER, 0, IDB_CLOSEDLG_OK_NORMAL);
        Image* kept = b.images[0];
        ASSERT_TRUE(kept && b.images[3]);
        b.SetImages(0, IDB_CLOSEDLG_CANCEL_HOVER, 0, 0);
        EXPECT_EQ(kept, b.images[0]);
    });
}

TEST(Images, ButtonWithoutImagesDrawsFillTextAndBorder) {
    testutil::RunWithManager([] {
        CImageButton b(nullptr, 1, RECT{0, 0, 60, 24}, L"WWW");
        b.SetImages(9999, 9998, 0, 0);
        EXPECT_EQ(nullptr, b.images[0]);
        b.fillBrushes[0] = new SolidBrush(Color(kRed));
        b.borderPens[0] = new Pen(Color(kBlue), 1.0f);
        Canvas c = DrawButton(b, 60, 24, -1, -1, false);
        EXPECT_EQ(kBlue, c.At(0, 10)) << "left border";
        EXPECT_EQ(kBlue, c.At(59, 10)) << "right border one pixel inside the right edge";
        EXPECT_EQ(kBlue, c.At(30, 23)) << "bottom border";
        EXPECT_EQ(0u, c.At(0, 0) >> 24) << "corners are cut";
        EXPECT_EQ(kRed, c.At(3, 3)) << "fill inside the border";
        int blue = 0;
        for (DWORD p : c.pixels) blue += p == kBlue;
        EXPECT_GT(Ink(c, kRed) - blue, 10) << "no text drawn";

        // Text colours: alpha 0 leaves a state without text. Line heights as tall as the text change nothing.
        b.SetTextColors(0, 0xFF0C0C0C, 0xFF0C0C0C);
        EXPECT_EQ(blue, Ink(DrawButton(b, 60, 24, -1, -1, false), kRed)) << "text in a state without a brush";
        EXPECT_GT(Ink(DrawButton(b, 60, 24, 5, 5, false), kRed), blue + 10) << "hover text missing";
        b.SetTextColors(0xFF000000, 0, 0);
        Canvas plain = DrawButton(b, 60, 24, -1, -1, false);
        b.lineHeight = 21;  // the text rectangle is 24 - 2 (padding) - 1 tall
        EXPECT_EQ(plain.pixels, DrawButton(b, 60, 24, -1, -1, false).pixels);
        b.lineHeight = 6;
        EXPECT_NE(plain.pixels, DrawButton(b, 60, 24, -1, -1, false).pixels) << "a narrow band changed nothing";
    });
}

TEST(Images, FontsAndTheirFallback) {
    testutil::RunWithManager([] {
        FontFamily song(L"宋体"), tahoma(L"Tahoma");
        ASSERT_EQ(Ok, song.GetLastStatus()) << "宋体 is not installed in this prefix";
        ASSERT_EQ(Ok, tahoma.GetLastStatus()) << "Tahoma is not installed in this prefix";
        WCHAR songName[LF_FACESIZE], tahomaName[LF_FACESIZE];
        song.GetFamilyName(songName);
        tahoma.GetFamilyName(tahomaName);
        std::unique_ptr<Font> item(CreateToolkitFont(kItemFontFamily, 9));
        std::unique_ptr<Font> tip(CreateToolkitFont(kTipFontFamily, 9));
        EXPECT_EQ(std::wstring(songName), FamilyOf(item.get()));
        EXPECT_EQ(std::wstring(tahomaName), FamilyOf(tip.get()));
        EXPECT_FLOAT_EQ(9.0f, item->GetSize());
        EXPECT_EQ(UnitPoint, item->GetUnit());
        CImageButton button(nullptr, 1, RECT{0, 0, 10, 10}, L"");
        EXPECT_EQ(std::wstring(songName), FamilyOf(button.font)) << "item default font";

        // A family that is not installed falls back to the generic sans-serif one, and draws.
        std::unique_ptr<Font> missing(CreateToolkitFont(L"Vornmark No Such Family", 9));
        ASSERT_EQ(Ok, missing->GetLastStatus()) << "no fallback font";
        GpFontFamily* generic = nullptr;
        ASSERT_EQ(Ok, DllExports::GdipGetGenericFontFamilySansSerif(&generic));
        WCHAR genericName[LF_FACESIZE] = {0};
        DllExports::GdipGetFamilyName(generic, genericName, LANG_NEUTRAL);
        DllExports::GdipDeleteFontFamily(generic);
        EXPECT_EQ(std::wstring(genericName), FamilyOf(missing.get()));
        Canvas c = uitest::Render(80, 20, [&](Graphics& g) {
            SolidBrush black(Color(0xFF000000));
            g.DrawString(L"Abc", -1, missing.get(), PointF(2, 2), &black);
        });
        EXPECT_GT(Ink(c), 5) << "the fallback font draws nothing";
    });
}
