// The small script every document of our pages gets before its own scripts run.
// It tells the browser window what the engine does not report over DevTools: the
// page title as scripts change it, context-menu requests the page did not cancel,
// and the cursor the page asks for. It runs in an isolated world (kHostWorld),
// where the binding is, out of the page's own scripts' reach.
#pragma once

#include <cstddef>

namespace cef_internal {

// Name of the binding the script reports through (Runtime.addBinding).
const char kHostBinding[] = "__vornHost";
// The isolated world the script and the binding share in every document.
const char kHostWorld[] = "vornmark-host";
// Our script reports the page's title, which the page sets at will (a title of
// hundreds of megabytes); reports larger than this are dropped unread.
const size_t kMaxBindingPayload = 1024 * 1024;

const char kPageScript[] = R"JS((function () {
  if (window.__vornHostInstalled) return;
  try { Object.defineProperty(window, '__vornHostInstalled', {value: true}); } catch (e) {}
  var NAME = '__vornHost';
  var bound = null;
  function send(o) {
    try {
      if (!bound) bound = window[NAME];
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

  // Capture phase, decided after dispatch: a page that cancels the event (in any
  // listener) gets no menu, as with the engine's own menu.
  window.addEventListener('contextmenu', function (e) {
    if (!e.isTrusted) return;
    setTimeout(function () {
      if (e.defaultPrevented) return;
      var el = e.target, info = {t: 'menu', frame: location.href};
      if (el && el.nodeType !== 1) el = el.parentElement;
      var a = el && el.closest ? el.closest('a[href]') : null;
      if (a) info.link = a.href;
      if (el && el.tagName === 'IMG') { info.media = 'image'; info.src = el.currentSrc || el.src; }
      else if (el && el.tagName === 'VIDEO') { info.media = 'video'; info.src = el.currentSrc || el.src; }
      else if (el && el.tagName === 'AUDIO') { info.media = 'audio'; info.src = el.currentSrc || el.src; }
      else if (el && (el.tagName === 'EMBED' || el.tagName === 'OBJECT')) { info.media = 'plugin'; }
      var sel = '';
      try { sel = String(window.getSelection() || ''); } catch (e) {}
      if (sel) info.sel = sel;
      if (editable(el)) info.edit = true;
      send(info);
    }, 0);
  }, true);

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
    if (c !== lastCursor) { lastCursor = c; send({t: 'cursor', v: c}); }
  }, {capture: true, passive: true});
})();)JS";

}  // namespace cef_internal
