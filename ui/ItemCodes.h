// Codes the toolkit's items carry: what kind of button an item is, the ids a
// button panel carries out itself, and the ids that never take the hover.
#pragma once

// CImageButton::type.
enum ButtonType {
    kButtonPlain = 0,
    // Asks HitTest while hovered (its answer goes to `hot`); when checked it is
    // drawn once more above the buttons it overlaps.
    kButtonInnerHit = 1,
    // Shows the hand cursor; the text it draws is measured into linkTextRect.
    kButtonLink = 2,
};

// Ids whose click a panel carries out itself (CImagePaint::OnButtonClick),
// unless its click callback has taken the click over. All other ids are the
// owner's.
enum PanelCommandId {
    kPanelClose = 10,     // destroys the owner window
    kPanelMinimise = 20,  // minimises it
    kPanelMaximise = 30,  // maximise and restore both toggle the zoom and
    kPanelRestore = 40,   // swap which of the two buttons shows
};

// Buttons with ids from kNoHoverFirstId to kNoHoverLastId (inclusive) never
// become the panel's hover button.
const int kNoHoverFirstId = 100;
const int kNoHoverLastId = 250;
