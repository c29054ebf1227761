// The composition guard, injected with the Flash emulator into the client's
// isolated world of every document.
//
// The emulator takes text for a movie's input field from a hidden <input> in its
// shadow root: every `input` event on it types the field's whole value into the
// movie, then empties it. An input method's composition is typed that way too, so
// each step of it ("n", "ni", "你好") would land in the movie and the commit after
// them. The guard holds the field's `input` events and keys while a composition is
// going on (the movie must not see Backspace or an arrow the input method uses) and
// hands the committed text over once, at `compositionend`, as one `input` event.
//
// The movie cannot draw a composition, so while one goes on the hidden field itself
// shows it, at the place the player last clicked into the movie (the text field
// being typed into; the emulator does not tell where its caret is). The field stays
// at that place, unseen, between compositions: the input method's candidate window
// follows the focused field's place on both display routes.
//
// Listeners on the window in the capture phase run before the emulator's, whatever
// it listens on, and see the documents that replace a frame's first, empty one.
#pragma once

namespace cef_internal {

const char kImeGuardScript[] = R"JS((function () {
  if (window.__vornImeGuard) return;
  window.__vornImeGuard = true;
  var composing = null, saved = '', anchor = null;

  // The emulator's hidden text field when it is the event's real target.
  function field(e) {
    var path = e.composedPath ? e.composedPath() : [];
    var el = path[0];
    if (!el || el.nodeType !== 1 || el.tagName !== 'INPUT' || el.id !== 'virtual-keyboard') return null;
    var root = el.getRootNode && el.getRootNode();
    return root && root.host && /^RUFFLE-/.test(root.host.tagName) ? el : null;
  }
  function hold(e) {
    e.stopImmediatePropagation();
  }
  // Its box has the same place and size shown or not: the engine tells the input
  // method where the text is from the box, before the composition shows in it. It
  // never takes the pointer, which belongs to the movie under it.
  function place(el, shown) {
    var s = el.style;
    function set(name, value) { s.setProperty(name, value, 'important'); }
    if (anchor) {
      set('position', 'fixed');
      set('left', anchor.x + 'px');
      set('top', anchor.y + 'px');
      set('height', '1.6em');
      set('font', '16px sans-serif');
      set('padding', '0 2px');
      set('border', '1px solid transparent');
      set('pointer-events', 'none');
    }
    if (shown) {
      set('opacity', '1');
      set('width', Math.max(2, el.value.length * 1.1 + 1) + 'em');
      set('color', '#000');
      set('background', '#fff');
      set('border-color', '#777');
      set('z-index', '2147483647');
    } else {
      ['opacity', 'width', 'color', 'background', 'border-color', 'z-index'].forEach(function (p) {
        s.removeProperty(p);
      });
      if (anchor) set('width', '2em');
    }
  }

  // Where the player clicked into a movie: its text field, as far as can be told.
  window.addEventListener('pointerdown', function (e) {
    if (!e.isTrusted) return;
    var path = e.composedPath ? e.composedPath() : [];
    for (var i = 0; i < path.length; i++) {
      var n = path[i];
      if (n.nodeType === 1 && /^RUFFLE-/.test(n.tagName) && n.shadowRoot) {
        anchor = {x: Math.round(e.clientX), y: Math.round(e.clientY) - 10};
        var kb = n.shadowRoot.getElementById('virtual-keyboard');
        if (kb) place(kb, false);
        return;
      }
    }
  }, true);

  window.addEventListener('compositionstart', function (e) {
    var el = field(e);
    if (!el) return;
    composing = el;
    saved = el.value;  // normally empty: the emulator empties it after each input
    place(el, true);
  }, true);

  window.addEventListener('input', function (e) {
    var el = field(e);
    if (!el) return;
    if (e.isComposing || el === composing) {
      hold(e);
      place(el, true);
    }
  }, true);

  function keys(e) {
    var el = field(e);
    if (el && (e.isComposing || e.keyCode === 229 || el === composing)) hold(e);
  }
  window.addEventListener('keydown', keys, true);
  window.addEventListener('keyup', keys, true);
  window.addEventListener('keypress', keys, true);

  window.addEventListener('compositionend', function (e) {
    var el = field(e);
    if (!el || el !== composing) return;
    composing = null;
    place(el, false);
    // The field holds what was there before plus the committed text (nothing when
    // the composition was cancelled): one input event types it into the movie.
    var committed = typeof e.data === 'string' ? e.data : '';
    if (el.value !== saved + committed) el.value = saved + committed;
    if (el.value) el.dispatchEvent(new InputEvent('input', {data: committed, inputType: 'insertText', bubbles: true, composed: true}));
  }, true);

  // The engine ends a composition before its field loses the focus; should one be
  // left behind, the field is let go of all the same.
  window.addEventListener('blur', function (e) {
    var el = field(e);
    if (el && el === composing) { composing = null; place(el, false); }
  }, true);
})();)JS";

}  // namespace cef_internal
