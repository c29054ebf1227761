// The pages' sound follows their windows: a browser whose window is hidden (the
// program hid its frame, as its boss key does) is silent, and its sound comes
// back with the window. A minimised one is still heard, as in a web browser.
//
// Every document gets a small script that keeps track of what can make sound in
// it (audio contexts, media elements, Flash players) and offers one switch; the
// browser window throws it in each of the page's frames. Hiding and showing are
// seen through a hook on the threads that own windows: no engine event reports them.
#pragma once

#include <string>

namespace cef_internal {

// Installed in every document before the page's scripts.
extern const char kSoundScript[];
// The expression that makes a document audible or silent.
std::string SoundExpression(bool audible);

// Watches the windows of the calling thread for being shown and hidden (once per
// thread); each change has the engine UI thread check its browsers' windows.
void WatchWindowVisibility();
// Removes every watch (layer shutdown, once the engine UI thread has ended).
void StopWatchingWindowVisibility();

}  // namespace cef_internal
