#include "ui/ImageRes.h"

#include <objidl.h>
#include <cstring>

using namespace Gdiplus;

const wchar_t* const kItemFontFamily = L"宋体";
const wchar_t* const kTipFontFamily = L"Tahoma";

Image* LoadPngResource(int id) {
    if (id == 0) return nullptr;
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
    if (!info) return nullptr;
    HGLOBAL loaded = LoadResource(module, info);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(module, info);
    if (!bytes || size == 0) return nullptr;

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block) return nullptr;
    void* dst = GlobalLock(block);
    if (!dst) {
        GlobalFree(block);
        return nullptr;
    }
    memcpy(dst, bytes, size);
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK || !stream) {
        GlobalFree(block);
        return nullptr;
    }
    // The image holds its own reference to the stream (and with it the block)
    // for as long as it lives.
    Image* image = new Image(stream, TRUE);
    stream->Release();
    FreeResource(loaded);
    if (image->GetLastStatus() != Ok) {
        delete image;
        return nullptr;
    }
    return image;
}

Bitmap* CopyImageFrame(Image& strip, int x, int width, int height) {
    Bitmap* frame = new Bitmap(width, height, PixelFormat32bppARGB);
    TextureBrush brush(&strip, WrapModeTile, x, 0, width, height);
    Graphics g(frame);
    // Copy, not blend: the frame's alpha must be the strip's alpha.
    g.SetCompositingMode(CompositingModeSourceCopy);
    g.FillRectangle(&brush, 0, 0, width, height);
    return frame;
}

void AddRoundRectPath(GraphicsPath& path, REAL left, REAL top, REAL right, REAL bottom, REAL rx, REAL ry) {
    REAL w = 2 * rx, h = 2 * ry;
    path.AddArc(left, top, w, h, 180, 90);
    path.AddLine(left + rx, top, right - rx, top);
    path.AddArc(right - w, top, w, h, 270, 90);
    path.AddLine(right, top + ry, right, bottom - ry);
    path.AddArc(right - w, bottom - h, w, h, 0, 90);
    path.AddLine(right - rx, bottom, left + rx, bottom);
    path.AddArc(left, bottom - h, w, h, 90, 90);
    path.AddLine(left, top + ry, left, bottom - ry);
}

Font* CreateToolkitFont(const wchar_t* family, REAL size) {
    {
        FontFamily wanted(family);
        if (wanted.GetLastStatus() == Ok) return new Font(&wanted, size, FontStyleRegular, UnitPoint);
    }
    // The flat API rather than FontFamily::GenericSansSerif(), whose cached
    // wrapper would outlive a GDI+ shutdown.
    GpFontFamily* generic = nullptr;
    WCHAR name[LF_FACESIZE] = {0};
    if (DllExports::GdipGetGenericFontFamilySansSerif(&generic) == Ok && generic) {
        DllExports::GdipGetFamilyName(generic, name, LANG_NEUTRAL);
        DllExports::GdipDeleteFontFamily(generic);
    }
    if (name[0]) {
        FontFamily fallback(name);
        if (fallback.GetLastStatus() == Ok) return new Font(&fallback, size, FontStyleRegular, UnitPoint);
    }
    // No usable family at all: a font whose status makes every DrawString a no-op.
    return new Font(family, size, FontStyleRegular, UnitPoint);
}

void SetupTextFormat(StringFormat& format, int align) {
    format.SetAlignment(static_cast<StringAlignment>(align));
    format.SetLineAlignment(StringAlignmentCenter);
    format.SetTrimming(StringTrimmingEllipsisWord);
}
