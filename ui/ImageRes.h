// Images, fonts, text formats and paths shared by everything the toolkit draws.
#pragma once

#include <windows.h>
#include <gdiplus.h>

// Decodes the "PNG" resource `id` of the executable; null for id 0, a missing
// resource or an undecodable image. The caller owns the image.
Gdiplus::Image* LoadPngResource(int id);

// Copies the frame (x, 0, width, height) of a strip into a new 32-bit ARGB
// bitmap, alpha included. The caller owns the bitmap.
Gdiplus::Bitmap* CopyImageFrame(Gdiplus::Image& strip, int x, int width, int height);

// Appends a rounded-rectangle outline with corner ellipses of 2rx x 2ry.
void AddRoundRectPath(Gdiplus::GraphicsPath& path, Gdiplus::REAL left, Gdiplus::REAL top, Gdiplus::REAL right,
                      Gdiplus::REAL bottom, Gdiplus::REAL rx, Gdiplus::REAL ry);

// A regular point-sized font of `family`; when the family is not installed,
// of GDI+'s generic sans-serif family instead. The caller owns the font.
Gdiplus::Font* CreateToolkitFont(const wchar_t* family, Gdiplus::REAL size);

// Item fonts: "宋体" 9 pt; the tooltip's: "Tahoma" 9 pt.
extern const wchar_t* const kItemFontFamily;
extern const wchar_t* const kTipFontFamily;

// The layout of every text the toolkit draws: `align` horizontally (0 near,
// 1 centre, 2 far), centred lines, trimmed with an ellipsis at a word.
void SetupTextFormat(Gdiplus::StringFormat& format, int align);
