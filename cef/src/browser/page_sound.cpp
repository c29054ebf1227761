#include "src/browser/page_sound.h"

#include <windows.h>
#include <map>
#include <mutex>
#include "src/browser/browser_impl.h"
#include "src/api/cef_context.h"
#include "src/browser/engine.h"
#include "src/api/thread_check.h"

namespace cef_internal {

const char kSoundScript[] = R"JS((function () {
  'use strict';
  if (window.__vornSound) return;
  var audible = true;
  var contexts = [];            // weak references to the audio contexts of this document
  var held = new Set();         // contexts we suspended, or whose resume we put off
  var mutedMedia = new Set();   // media elements we muted
  var played = [];              // weak references to media elements that played
  var volumes = new WeakMap();  // Flash players' volumes before we silenced them
  function live(list) {
    var out = [];
    for (var i = list.length - 1; i >= 0; i--) {
      var v = list[i].deref();
      if (v) out.push(v); else list.splice(i, 1);
    }
    return out;
  }
  function hold(ctx) {
    if (ctx.state === 'closed') return;
    held.add(ctx);
    try { ctx.suspend().catch(function () {}); } catch (e) {}
  }
  var AC = window.AudioContext;
  var resume = AC && AC.prototype.resume;
  ['AudioContext', 'webkitAudioContext'].forEach(function (name) {
    var C = window[name];
    if (typeof C !== 'function') return;
    var P = new Proxy(C, {construct: function (target, args, newTarget) {
      var ctx = Reflect.construct(target, args, newTarget);
      contexts.push(new WeakRef(ctx));
      if (!audible) hold(ctx);
      return ctx;
    }});
    try { Object.defineProperty(window, name, {value: P, writable: true, configurable: true}); } catch (e) {}
  });
  if (resume) AC.prototype.resume = function () {
    // Silent while hidden: the context starts again when the window comes back.
    if (!audible) {
      held.add(this);
      return Promise.resolve();
    }
    return resume.apply(this, arguments);
  };
  function mute(el) {
    if (!el.muted) { el.muted = true; mutedMedia.add(el); }
  }
  var play = HTMLMediaElement.prototype.play;
  HTMLMediaElement.prototype.play = function () {
    played.push(new WeakRef(this));
    if (!audible) mute(this);
    return play.apply(this, arguments);
  };
  function players() { return document.querySelectorAll('ruffle-embed, ruffle-object, ruffle-player'); }
  function set(on) {
    on = !!on;
    if (on === audible) return audible;
    audible = on;
    var i, list = players();
    if (!on) {
      live(contexts).forEach(function (ctx) { if (ctx.state === 'running') hold(ctx); });
      live(played).forEach(mute);
      document.querySelectorAll('audio, video').forEach(mute);
      for (i = 0; i < list.length; i++) {
        try { if (list[i].volume > 0) { volumes.set(list[i], list[i].volume); list[i].volume = 0; } } catch (e) {}
      }
    } else {
      held.forEach(function (ctx) { if (ctx.state !== 'closed') resume.call(ctx).catch(function () {}); });
      held.clear();
      mutedMedia.forEach(function (el) { el.muted = false; });
      mutedMedia.clear();
      for (i = 0; i < list.length; i++) {
        if (volumes.has(list[i])) { try { list[i].volume = volumes.get(list[i]); } catch (e) {} volumes.delete(list[i]); }
      }
    }
    return audible;
  }
  try { Object.defineProperty(window, '__vornSound', {value: set}); } catch (e) {}
})();)JS";

std::string SoundExpression(bool audible) {
    return std::string("typeof __vornSound === 'function' && __vornSound(") + (audible ? "true" : "false") + ")";
}

namespace {

std::mutex g_hooksLock;  // guards g_hooks, used by the threads that install and the one that removes
std::map<DWORD, HHOOK> g_hooks;  // thread -> its hook

void CheckBrowsers() {
    CEF_REQUIRE_UI_THREAD();
    Engine* engine = Engine::Current();
    if (!engine) return;
    for (auto& b : engine->Browsers()) b->UpdateAudible();
}

// Whether a message that went through a window procedure may have changed what
// can be seen: a window shown or hidden, or a top-level one minimised or restored.
bool MayChangeVisibility(const CWPRETSTRUCT& c) {
    if (c.message == WM_WINDOWPOSCHANGED) {
        const WINDOWPOS* pos = reinterpret_cast<const WINDOWPOS*>(c.lParam);
        return pos && (pos->flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW));
    }
    if (c.message == WM_SIZE)
        return (c.wParam == SIZE_MINIMIZED || c.wParam == SIZE_RESTORED || c.wParam == SIZE_MAXIMIZED) &&
               !(GetWindowLongW(c.hwnd, GWL_STYLE) & WS_CHILD);
    return false;
}

// Runs on the watched thread after a window procedure returned. Cheap: such
// changes are rare, and each asks for a check of its own (a check is a few
// IsWindowVisible calls). Not merged into one pending check: a task posted while
// a modal dialog of the engine UI thread was being torn down was seen never to
// run, and a merged check would then never be asked for again.
LRESULT CALLBACK VisibilityHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPRETSTRUCT* c = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (c && MayChangeVisibility(*c)) PostUiTask(CheckBrowsers);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void WatchWindowVisibility() {
    DWORD thread = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(g_hooksLock);
    if (g_hooks.count(thread)) return;
    // Installed by the watched thread itself: Wine calls a hook set for another
    // thread of the process in neither thread.
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, VisibilityHook, GetModuleHandleW(nullptr), thread);
    if (hook) g_hooks[thread] = hook;
}

void StopWatchingWindowVisibility() {
    std::lock_guard<std::mutex> guard(g_hooksLock);
    for (auto& entry : g_hooks) UnhookWindowsHookEx(entry.second);
    g_hooks.clear();
}

}  // namespace cef_internal
