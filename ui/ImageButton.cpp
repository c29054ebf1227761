#include "ui/ImageButton.h"

#include <cwchar>
#include "ui/ImageRes.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

namespace {
template <typename T>
void DeleteAll(T** items, int count) {
    for (int i = 0; i < count; ++i) {
        delete items[i];
        items[i] = nullptr;
    }
}
}  // namespace

CImageButton::CImageButton(HWND owner_, int id_, RECT rect_, const wchar_t* text_)
    : hot(false),
      checked(false),
      rightMargin(-1),
      bottomMargin(-1),
      imageOffset{0, 0},
      textPadding{0, 2, 0, 0},
      showText(true),
      type(0),
      imageMode(3),
      id(id_),
      rect(rect_),
      visible(true),
      disabled(false),
      font(CreateToolkitFont(kItemFontFamily, 9)),
      customFont(nullptr),
      text{0},
      lineHeight(0),
      owner(owner_),
      images{nullptr, nullptr, nullptr, nullptr},
      strip(nullptr),
      showIcon(false),
      icons{nullptr, nullptr},
      iconRect{0, 0, 0, 0},
      borderPens{nullptr, nullptr, nullptr},
      fillBrushes{nullptr, nullptr, nullptr},
      textBrushes{new SolidBrush(Color(0xFF000000)), nullptr, nullptr},
      textAlign(1),
      linkTextRect{0, 0, 0, 0} {
    if (text_) _snwprintf(text, 255, L"%ls", text_);
    text[255] = 0;
}

CImageButton::~CImageButton() {
    DeleteAll(images, 4);
    delete strip;
    DeleteAll(icons, 2);
    DeleteAll(borderPens, 3);
    DeleteAll(fillBrushes, 3);
    DeleteAll(textBrushes, 3);
    delete font;
}

void CImageButton::SetRect(int left, int top, int right, int bottom) {
    rect.left = left;
    rect.top = top;
    rect.right = right;
    rect.bottom = bottom;
}

bool CImageButton::HitTest(int, int) { return false; }

RECT CImageButton::GetInnerRect() { return RECT{0, 0, 0, 0}; }

void CImageButton::SetImages(int normal, int hover, int pressed, int disabled_) {
    if (normal == 0) return;
    DeleteAll(images, 4);
    images[0] = LoadPngResource(normal);
    images[1] = LoadPngResource(hover);
    images[2] = LoadPngResource(pressed);
    images[3] = LoadPngResource(disabled_);
}

void CImageButton::SetImageStrip(int id_) {
    delete strip;
    strip = LoadPngResource(id_);
    if (!strip) return;
    int W = (int)strip->GetWidth(), H = (int)strip->GetHeight();
    int half = toolkit::StripFrameWidth(W);
    if (half <= 0 || H <= 0) return;
    delete images[0];
    images[0] = CopyImageFrame(*strip, 0, half, H);
    delete images[1];
    images[1] = CopyImageFrame(*strip, half, half, H);
}

void CImageButton::SetTextColors(ARGB normal, ARGB hover, ARGB pressed) {
    DeleteAll(textBrushes, 3);
    const ARGB colors[3] = {normal, hover, pressed};
    for (int i = 0; i < 3; ++i)
        if (colors[i] > 0x00FFFFFF) textBrushes[i] = new SolidBrush(Color(colors[i]));
}

void CImageButton::Draw(Graphics& g, int mouseX, int mouseY, bool leftDown, int left, int top, int right,
                        int bottom) {
    if (!visible) return;
    RECT R = {left, top, right, bottom};
    if (left == right) R = rect;
    int state = toolkit::ButtonState(R, mouseX, mouseY, leftDown, checked);

    // Each state falls back to hover, then to normal, where it has nothing of its own.
    Image* image = images[0];
    Image* icon = icons[0];
    Pen* pen = borderPens[0];
    Brush* fill = fillBrushes[0];
    Brush* textBrush = textBrushes[0];
    if (state >= 1) {
        if (state == 2 && images[2]) image = images[2];
        else if (images[1]) image = images[1];
        if (icons[1]) icon = icons[1];
        if (borderPens[state]) pen = borderPens[state];
        if (fillBrushes[state]) fill = fillBrushes[state];
        if (textBrushes[state]) textBrush = textBrushes[state];
    }

    int width = R.right - R.left, height = R.bottom - R.top;
    if (fill) {
        if (pen) g.FillRectangle(fill, (INT)R.left + 1, (INT)R.top + 1, width - 2, height - 2);
        else g.FillRectangle(fill, (INT)R.left, (INT)R.top, width, height);
    }

    switch (imageMode) {
    case 3:
        if (image) {
            if (imageOffset.x != 0)
                g.DrawImage(image, (INT)(R.left + imageOffset.x), (INT)(R.top + imageOffset.y), (INT)image->GetWidth(),
                            (INT)image->GetHeight());
            else
                g.DrawImage(image, (INT)R.left, (INT)R.top, width, height);
        }
        break;
    case 4:
        if (image) g.DrawImage(image, (INT)R.left, (INT)R.top, width, height);
        if (images[0] && images[0] != image) g.DrawImage(images[0], (INT)R.left, (INT)R.top, width, height);
        break;
    case 5:
        if (images[0] && images[0] != image) g.DrawImage(images[0], (INT)R.left, (INT)R.top, width, height);
        if (image) g.DrawImage(image, (INT)R.left, (INT)R.top, width, height);
        break;
    default: break;
    }

    if (showIcon && icon)
        g.DrawImage(icon, (INT)(R.left + iconRect.left), (INT)(R.top + iconRect.top), (INT)(iconRect.right - iconRect.left),
                    (INT)(iconRect.bottom - iconRect.top));

    RECT textRect = R;
    DrawText(g, textRect, textBrush);

    if (pen) {
        const Point pts[9] = {{R.left, R.top + 1},          {R.left + 1, R.top},
                              {R.right - 2, R.top},          {R.right - 1, R.top + 1},
                              {R.right - 1, R.bottom - 2},   {R.right - 2, R.bottom - 1},
                              {R.left + 1, R.bottom - 1},    {R.left, R.bottom - 2},
                              {R.left, R.top + 1}};
        g.DrawLines(pen, pts, 9);
    }
}

void CImageButton::DrawText(Graphics& g, RECT& r, Brush* brush) {
    if (!showText || !text[0]) return;
    if (showIcon && icons[0]) r.left += iconRect.right - 1;
    r.left += textPadding.left;
    r.top += textPadding.top;
    r.right -= textPadding.right;
    r.bottom -= textPadding.bottom + 1;

    Font* f = customFont ? customFont : font;
    StringFormat format(0, LANG_NEUTRAL);
    SetupTextFormat(format, textAlign);
    int y, h;
    toolkit::TextBand(r.top, r.bottom - r.top, lineHeight, &y, &h);
    RectF layout((REAL)r.left, (REAL)y, (REAL)(r.right - r.left), (REAL)h);
    if (brush && f) g.DrawString(text, -1, f, layout, &format, brush);

    if (type == kButtonLink && f) {
        RectF box;
        g.MeasureString(text, -1, f, layout, &format, &box);
        linkTextRect = toolkit::LinkTextRect(r.left, r.right - r.left, box.Width, textAlign, y, h);
    }
}
