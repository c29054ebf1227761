// The script every document of a page shown through the engine's own window gets,
// in a world of its own (the page's scripts can neither see nor call its binding).
// The engine's window takes the keys and the mouse straight from X, so this script
// tells the browser window what it must still know: the title as scripts change
// it, context menus the page did not cancel (the engine's own menu never shows),
// and every key the page receives, for Wine's side of it (hot keys, the frame's
// keys, Alt+F4). The engine's own browser shortcuts (new windows and tabs, closing,
// reloading, zoom, find, developer tools, full screen, history) would act on the
// engine's window behind our back: they are cancelled, as an embedded browser has
// none; editing keys keep their meaning.
#pragma once

namespace cef_internal {

// The isolated world's name; the binding (kHostBinding) is exposed there only.
const char kViewWorld[] = "__vornView";

const char kViewScript[] = R"JS((function () {
  if (window.__vornViewInstalled) return;
  window.__vornViewInstalled = true;
  var bound = null;
  function send(o) {
    try {
      if (!bound) bound = window.__vornHost;
      if (typeof bound === 'function') bound(JSON.stringify(o));
    } catch (e) {}
  }
  var isTop = false;
  try { isTop = window.top === window; } catch (e) {}

  if (isTop) {
    var lastTitle = null;
    var title = function () {
      var t = document.title;
      if (t !== lastTitle) { lastTitle = t; send({t: 'title', v: t}); }
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

  // Decided by the last listener on the way back up, added while the event is on
  // its way down: a page that cancels the event gets no menu, as with the engine's.
  window.addEventListener('contextmenu', function (e) {
    if (!e.isTrusted) return;
    var decide = function () {
      window.removeEventListener('contextmenu', decide, false);
      if (e.defaultPrevented) return;
      e.preventDefault();
      send(menuInfo(e));
    };
    window.addEventListener('contextmenu', decide, false);
  }, true);

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
})();)JS";

}  // namespace cef_internal
