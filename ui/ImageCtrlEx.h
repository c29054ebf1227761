// A window hosting one item list.
#pragma once

#include <windows.h>
#include "ui/ImagePaintEx.h"
#include "ui/WindowCtrl.h"

class CImageCtrlEx : public CWindowCtrl {
public:
    CImageCtrlEx();
    ~CImageCtrlEx() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

    CImagePaintEx list;
};
