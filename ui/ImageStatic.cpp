#include "ui/ImageStatic.h"

#include "ui/ImageRes.h"

using namespace Gdiplus;

CImageStatic::CImageStatic()
    : rightMargin(-1),
      bottomMargin(-1),
      fixedLeft(-1),
      fixedTop(-1),
      textBrush(new SolidBrush(Color(0xFF000000))),
      fillBrush(nullptr),
      textOffsetX(0),
      flipTiled(false),
      rect{0, 0, 0, 0},
      image(nullptr),
      id(0),
      text{0},
      font(CreateToolkitFont(kItemFontFamily, 9)),
      customFont(nullptr),
      visible(true),
      textAlign(1) {}

CImageStatic::~CImageStatic() {
    delete textBrush;
    delete fillBrush;
    delete image;
    delete font;
}

void CImageStatic::Draw(Graphics& g, int left, int top, int right, int bottom, const RECT* area) {
    if (!visible) return;
    RECT R = {left, top, right, bottom};
    if (left == right) R = rect;
    int width = R.right - R.left, height = R.bottom - R.top;

    if (fillBrush) g.FillRectangle(fillBrush, R.left - 1, R.top - 1, width + 1, height + 1);

    if (image && width > 0 && height > 0) {
        if (flipTiled) {
            // A picture stretched along a whole bar costs GDI+ its full size even
            // when clipped to a few pixels, so only the part that shows is scaled:
            // the same slice of the source, in the same place. GDI+ draws a cut
            // edge of a slice badly (a dark column), so the slice reaches a few
            // pixels beyond the area, where the caller's clip hides them.
            RECT part = R, wider = area ? *area : R;
            InflateRect(&wider, 3, 3);
            if (IntersectRect(&part, &R, &wider)) {
                const REAL sx = (REAL)image->GetWidth() / width, sy = (REAL)image->GetHeight() / height;
                ImageAttributes attributes;
                attributes.SetWrapMode(WrapModeTileFlipXY, Color(0xFF000000), FALSE);
                g.DrawImage(image,
                            RectF((REAL)part.left, (REAL)part.top, (REAL)(part.right - part.left),
                                  (REAL)(part.bottom - part.top)),
                            (part.left - R.left) * sx, (part.top - R.top) * sy, (part.right - part.left) * sx,
                            (part.bottom - part.top) * sy, UnitPixel, &attributes);
            }
        } else {
            g.DrawImage(image, R.left, R.top, width, height);
        }
    }

    Font* f = customFont ? customFont : font;
    if (text[0] && textBrush && f) {
        StringFormat format(0, LANG_NEUTRAL);
        SetupTextFormat(format, textAlign);
        RectF layout((REAL)(R.left + textOffsetX), (REAL)R.top, (REAL)width, (REAL)height);
        g.DrawString(text, -1, f, layout, &format, textBrush);
    }
}
