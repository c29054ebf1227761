// One row of an item list: its own buttons, statics and child windows placed
// relative to the row, hover and selection flags.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include <vector>
#include "ui/ImageButton.h"
#include "ui/ImageStatic.h"
#include "ui/WindowCtrl.h"

class CImagePaintEx;

class CImageItem {
public:
    CImageItem(CImagePaintEx* list, int id, int height);
    virtual ~CImageItem();

    virtual void Draw(Gdiplus::Graphics& g, int left, int top, int right, int bottom);
    // Tracks the row button under the mouse; true when the row needs repainting.
    virtual bool OnMouseMove(int x, int y);
    virtual void ResetMouse();
    // The row moves to a new rectangle; `rect` still holds the previous one.
    virtual void OnRowRect(int left, int top, int right, int bottom);
    virtual void OnHoverEnter();

    // `rect` is relative to the row: x from the list's left edge, y from the row's top.
    CImageButton* AddButton(int id, RECT rect, const wchar_t* text, int normalImage, int hoverImage,
                            int pressedImage, int disabledImage);
    void SetSelected(bool select);

    int mouseX, mouseY;
    std::vector<CImageButton*> buttons;      // owned
    std::vector<CImageStatic*> statics;      // owned
    std::vector<CWindowCtrl*> childWindows;  // owned, windows destroyed with the row
    CImageButton* hotButton;  // not owned: one of `buttons`, or null
    bool hovered;
    bool selected;
    bool visible;
    CImagePaintEx* list;  // not owned: the list holding the row
    int id;
    int height;
    RECT rect;

private:
    CImageItem(const CImageItem&) = delete;
    CImageItem& operator=(const CImageItem&) = delete;
};
