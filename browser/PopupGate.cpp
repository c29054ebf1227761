#include "browser/PopupGate.h"

bool CPopupGate::Admit(bool userGesture, DWORD now) {
    if (!userGesture) return false;
    // Unsigned difference: right across the tick count's wrap after 49.7 days.
    if (admitted && now - lastAdmitted < kMinIntervalMs) return false;
    admitted = true;
    lastAdmitted = now;
    return true;
}
