// Settings of one browser and the features a page asks for when it opens a window.
#pragma once

#include <array>
#include <cstring>
#include "include/internal/cef_string.h"
#include "include/internal/cef_types.h"

typedef uint32_t cef_color_t;

// A C structure with the values it owns. `traits` names the structure
// (struct_type) and how to start it (init), release its values (clear) and copy
// them from another (set).
template <class traits>
class CefStructBase : public traits::struct_type {
public:
    typedef typename traits::struct_type struct_type;

    CefStructBase() { Init(); }
    virtual ~CefStructBase() { traits::clear(this); }
    CefStructBase(const CefStructBase& r) {
        Init();
        *this = r;
    }
    CefStructBase(const struct_type& r) {
        Init();
        *this = r;
    }

    // Releases the values and starts again from the defaults.
    void Reset() {
        traits::clear(this);
        Init();
    }

    // Takes the values of `source`: copies of them (this layer always copies).
    void Set(const struct_type& source, bool copy) { traits::set(&source, this, copy); }

    CefStructBase& operator=(const CefStructBase& s) { return operator=(static_cast<const struct_type&>(s)); }
    CefStructBase& operator=(const struct_type& s) {
        Set(s, true);
        return *this;
    }

protected:
    void Init() {
        memset(static_cast<struct_type*>(this), 0, sizeof(struct_type));
        traits::init(this);
    }
};

typedef enum {
    STATE_DEFAULT = 0,
    STATE_ENABLED,
    STATE_DISABLED,
} cef_state_t;

typedef struct _cef_browser_settings_t {
    size_t size;
    int windowless_frame_rate;
    cef_string_t standard_font_family;
    cef_string_t fixed_font_family;
    cef_string_t serif_font_family;
    cef_string_t sans_serif_font_family;
    cef_string_t cursive_font_family;
    cef_string_t fantasy_font_family;
    int default_font_size;
    int default_fixed_font_size;
    int minimum_font_size;
    int minimum_logical_font_size;
    cef_string_t default_encoding;
    cef_state_t remote_fonts;
    cef_state_t javascript;
    cef_state_t javascript_open_windows;
    cef_state_t javascript_close_windows;
    cef_state_t javascript_access_clipboard;
    cef_state_t javascript_dom_paste;
    cef_state_t caret_browsing;
    cef_state_t plugins;
    cef_state_t universal_access_from_file_urls;
    cef_state_t file_access_from_file_urls;
    cef_state_t web_security;
    cef_state_t image_loading;
    cef_state_t image_shrink_standalone_to_fit;
    cef_state_t text_area_resize;
    cef_state_t tab_to_links;
    cef_state_t local_storage;
    cef_state_t databases;
    cef_state_t application_cache;
    cef_state_t webgl;
    cef_color_t background_color;
    cef_string_t accept_language_list;
} cef_browser_settings_t;

// Owns the strings of its structure; copies are deep.
class CefBrowserSettings : public cef_browser_settings_t {
public:
    CefBrowserSettings() { Init(); }
    CefBrowserSettings(const CefBrowserSettings& r) { Init(); *this = r; }
    ~CefBrowserSettings() {
        for (cef_string_t* s : Strings(this)) cef_string_clear(s);
    }
    CefBrowserSettings& operator=(const CefBrowserSettings& r) {
        if (&r == this) return *this;
        for (cef_string_t* s : Strings(this)) cef_string_clear(s);
        *static_cast<cef_browser_settings_t*>(this) = r;
        // The plain copy shares the other's buffers; give each field its own.
        for (cef_string_t* s : Strings(this)) {
            cef_string_t shared = *s;
            s->str = nullptr;
            s->length = 0;
            s->dtor = nullptr;
            cef_string_set(shared.str, shared.length, s, 1);
        }
        return *this;
    }

private:
    void Init() {
        memset(static_cast<cef_browser_settings_t*>(this), 0, sizeof(cef_browser_settings_t));
        size = sizeof(cef_browser_settings_t);
    }
    static std::array<cef_string_t*, 8> Strings(cef_browser_settings_t* s) {
        return {{&s->standard_font_family, &s->fixed_font_family, &s->serif_font_family, &s->sans_serif_font_family,
                 &s->cursive_font_family, &s->fantasy_font_family, &s->default_encoding,
                 &s->accept_language_list}};
    }
};

typedef struct _cef_popup_features_t {
    int x;
    int xSet;
    int y;
    int ySet;
    int width;
    int widthSet;
    int height;
    int heightSet;
    int menuBarVisible;
    int statusBarVisible;
    int toolBarVisible;
    int locationBarVisible;
    int scrollbarsVisible;
    int resizable;
    int fullscreen;
    int dialog;
} cef_popup_features_t;

class CefPopupFeatures : public cef_popup_features_t {
public:
    CefPopupFeatures() {
        memset(static_cast<cef_popup_features_t*>(this), 0, sizeof(cef_popup_features_t));
        menuBarVisible = statusBarVisible = toolBarVisible = locationBarVisible = scrollbarsVisible = resizable = 1;
    }
};
