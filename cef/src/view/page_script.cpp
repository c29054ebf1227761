#include "src/view/page_script.h"

namespace cef_internal {
namespace {

// Both routes: installed once per document (the mark cannot be reset, even by a
// script of the same world), the binding, the title and context menus.
const char kCommon[] = R"JS(
  if (window.__vornHostInstalled) return;
  try {
    Object.defineProperty(window, '__vornHostInstalled', {value: true, writable: false, configurable: false});
  } catch (e) { return; }
  var NAME = '__vornHost';
  var bound = null;
  // True once the client has it: a report that found no binding is not "already
  // said", so the title or cursor is reported again at its next chance.
  function send(o) {
    try {
      if (!bound) bound = window[NAME];
      if (typeof bound !== 'function') return false;
      bound(JSON.stringify(o));
      return true;
    } catch (e) { return false; }
  }
  var isTop = false;
  try { isTop = window.top === window; } catch (e) {}

  if (isTop) {
    // A game blinking its title for a notice changes it many times a second; each
    // report costs the client a few thread hand-offs. At most one every 250 ms, the
    // first at once and the latest title always last.
    var lastTitle = null, titleDue = 0, titleSentAt = -1e9;
    var title = function () {
      if (titleDue) return;  // the report already due reads the title then
      var t = document.title;
      if (t === lastTitle) return;
      // The monotonic clock: a wall clock set back would hold the title for as long.
      var wait = titleSentAt + 250 - performance.now();
      if (wait > 0) {
        titleDue = setTimeout(function () { titleDue = 0; title(); }, wait);
        return;
      }
      if (send({t: 'title', v: t})) { lastTitle = t; titleSentAt = performance.now(); }
    };
    try {
      new MutationObserver(title).observe(document, {subtree: true, childList: true, characterData: true});
    } catch (e) {}
    document.addEventListener('DOMContentLoaded', title);
    window.addEventListener('load', title);
  }

  function editable(el) {
    if (!el || el.nodeType !== 1) return false;
    if (el.isContentEditable) return true;
    var tag = el.tagName;
    if (tag === 'TEXTAREA') return !el.readOnly && !el.disabled;
    if (tag === 'INPUT')
      return !/^(button|submit|reset|checkbox|radio|image|file|color|range|hidden)$/i.test(el.type) &&
             !el.readOnly && !el.disabled;
    return false;
  }

  function menuInfo(e) {
    var el = e.target, info = {t: 'menu', frame: location.href};
    if (el && el.nodeType !== 1) el = el.parentElement;
    var a = el && el.closest ? el.closest('a[href]') : null;
    if (a) info.link = a.href;
    if (el && el.tagName === 'IMG') { info.media = 'image'; info.src = el.currentSrc || el.src; }
    else if (el && el.tagName === 'VIDEO') { info.media = 'video'; info.src = el.currentSrc || el.src; }
    else if (el && el.tagName === 'AUDIO') { info.media = 'audio'; info.src = el.currentSrc || el.src; }
    else if (el && (el.tagName === 'EMBED' || el.tagName === 'OBJECT')) { info.media = 'plugin'; }
    var sel = '';
    try { sel = String(window.getSelection() || ''); } catch (x) {}
    if (sel) info.sel = sel;
    if (editable(el)) info.edit = true;
    return info;
  }

  // A page that cancels the event gets no menu, as with the engine's own. Decided
  // where the event ends its way up, after the page's listeners there: at the
  // window, or at the node where the page stopped it (our listener, added to every
  // node of its path while the event comes down, runs last on each). Cancelled
  // there, so that a windowed engine shows no menu of its own. An event the page
  // stopped on its way down is decided once it is over.
  window.addEventListener('contextmenu', function (e) {
    if (!e.isTrusted) return;
    var path = e.composedPath ? e.composedPath() : [];
    var done = false;
    var finish = function () {
      done = true;
      path.forEach(function (n) { n.removeEventListener('contextmenu', decide, false); });
    };
    var decide = function (ev) {
      if (done || (ev.currentTarget !== window && !ev.cancelBubble)) return;
      finish();
      if (e.defaultPrevented) return;
      e.preventDefault();
      send(menuInfo(e));
    };
    path.forEach(function (n) { n.addEventListener('contextmenu', decide, false); });
    setTimeout(function () {
      if (done) return;
      finish();
      if (!e.defaultPrevented) send(menuInfo(e));
    }, 0);
  }, true);
)JS";

// Screencast route: the cursor the page asks for, which the browser window shows.
const char kCursor[] = R"JS(
  var lastCursor = '';
  window.addEventListener('mousemove', function (e) {
    if (!e.isTrusted) return;
    // Inside a shadow tree (a Flash player's) the event names only the tree's host;
    // the element under the pointer, which carries the cursor, is the path's first.
    var path = e.composedPath ? e.composedPath() : [];
    var el = path.length ? path[0] : e.target;
    if (!el || el.nodeType !== 1) return;
    // Inside an inner frame that frame's document reports; report again on the way out.
    if (/^(IFRAME|FRAME|OBJECT|EMBED)$/.test(el.tagName)) { lastCursor = ''; return; }
    var c = 'auto';
    try { c = getComputedStyle(el).cursor; } catch (e) {}
    if (!c || c === 'auto') {
      if (el.closest && el.closest('a[href]')) c = 'pointer';
      else if (editable(el)) c = 'text';
      else c = 'default';
    }
    if (c !== lastCursor && send({t: 'cursor', v: c})) lastCursor = c;
  }, {capture: true, passive: true});
)JS";

// Embedded route: the engine's window takes the keys straight from X, so every key
// the page receives is reported for Wine's side of it (hot keys, the frame's keys,
// Alt+F4). The engine's own browser shortcuts (new windows and tabs, closing,
// reloading, zoom, find, developer tools, full screen, history) would act on the
// engine's window behind our back: they are cancelled, as an embedded browser has
// none; editing keys keep their meaning.
const char kKeys[] = R"JS(
  var C = 'C+', S = 'S+', A = 'A+', CS = 'CS+', AS = 'AS+';
  var cancelled = {};
  function cancel(prefix, codes) {
    codes.split(' ').forEach(function (c) { cancelled[prefix + c] = true; });
  }
  cancel(C, 'KeyN KeyT KeyW KeyO KeyS KeyP KeyU KeyH KeyJ KeyD KeyF KeyG KeyE KeyK KeyL KeyR Tab PageUp ' +
            'PageDown F4 F5 Equal Minus Digit0 Digit1 Digit2 Digit3 Digit4 Digit5 Digit6 Digit7 Digit8 Digit9 ' +
            'NumpadAdd NumpadSubtract Numpad0');
  cancel(CS, 'KeyN KeyT KeyW KeyQ KeyB KeyO KeyI KeyJ KeyC KeyM KeyA KeyD KeyG KeyR KeyE KeyK KeyL KeyS ' +
             'KeyP Delete Tab PageUp PageDown Equal Minus F5');
  cancel(A, 'F4 Home ArrowLeft ArrowRight KeyD KeyE KeyF Digit1 Digit2 Digit3 Digit4 Digit5 Digit6 Digit7 ' +
            'Digit8 Digit9');
  cancel(AS, 'KeyT KeyI KeyA KeyB');
  cancel('', 'F1 F3 F5 F6 F7 F10 F11 F12 BrowserBack BrowserForward BrowserRefresh BrowserHome ' +
             'BrowserSearch BrowserFavorites BrowserStop');
  cancel(S, 'F3 F5 F6 F10');
  function modifiers(e) {
    return (e.altKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.metaKey ? 4 : 0) | (e.shiftKey ? 8 : 0);
  }
  function combo(e) {
    return (e.ctrlKey ? 'C' : '') + (e.altKey ? 'A' : '') + (e.shiftKey ? 'S' : '') +
           (e.ctrlKey || e.altKey || e.shiftKey ? '+' : '') + e.code;
  }
  function key(down) {
    return function (e) {
      if (!e.isTrusted) return;
      if (down && !e.metaKey && cancelled[combo(e)]) e.preventDefault();
      if (e.isComposing || e.keyCode === 229) return;  // the input method's, not the player's keys
      send({t: 'key', d: down ? 1 : 0, k: e.keyCode, c: e.code, m: modifiers(e), r: e.repeat ? 1 : 0});
    };
  }
  window.addEventListener('keydown', key(true), true);
  window.addEventListener('keyup', key(false), true);

  // The mouse's back and forward buttons would go through the history.
  function noHistoryButtons(e) {
    if (e.isTrusted && (e.button === 3 || e.button === 4)) e.preventDefault();
  }
  window.addEventListener('mousedown', noHistoryButtons, true);
  window.addEventListener('mouseup', noHistoryButtons, true);
)JS";

}  // namespace

const std::string& PageScript(bool embedded) {
    static const std::string screencast = std::string("(function () {") + kCommon + kCursor + "})();";
    static const std::string view = std::string("(function () {") + kCommon + kKeys + "})();";
    return embedded ? view : screencast;
}

}  // namespace cef_internal
