#include "src/browser/context_menu.h"

#include <mutex>
#include <vector>
#include "src/browser/browser_impl.h"
#include "src/browser/clipboard.h"

namespace cef_internal {
namespace {

class ContextMenuParamsImpl : public CefContextMenuParams {
public:
    explicit ContextMenuParamsImpl(const ContextMenuInfo& info) : info_(info) {}
    int GetXCoord() override { return info_.x; }
    int GetYCoord() override { return info_.y; }
    TypeFlags GetTypeFlags() override { return (TypeFlags)info_.typeFlags; }
    CefString GetLinkUrl() override { return info_.linkUrl; }
    CefString GetUnfilteredLinkUrl() override { return info_.linkUrl; }
    CefString GetSourceUrl() override { return info_.sourceUrl; }
    bool HasImageContents() override { return info_.mediaType == CM_MEDIATYPE_IMAGE; }
    CefString GetPageUrl() override { return info_.pageUrl; }
    CefString GetFrameUrl() override { return info_.frameUrl; }
    CefString GetFrameCharset() override { return CefString(); }
    MediaType GetMediaType() override { return info_.mediaType; }
    MediaStateFlags GetMediaStateFlags() override { return CM_MEDIAFLAG_NONE; }
    CefString GetSelectionText() override { return info_.selectionText; }
    CefString GetMisspelledWord() override { return CefString(); }
    bool GetDictionarySuggestions(std::vector<CefString>& suggestions) override {
        suggestions.clear();
        return false;
    }
    bool IsEditable() override { return info_.editable; }
    bool IsSpellCheckEnabled() override { return false; }
    EditStateFlags GetEditStateFlags() override { return (EditStateFlags)info_.editFlags; }

private:
    const ContextMenuInfo info_;
    IMPLEMENT_REFCOUNTING(ContextMenuParamsImpl);
};

struct MenuItem {
    int id = 0;
    cef_menu_item_type_t type = MENUITEMTYPE_COMMAND;
    CefString label;
    bool visible = true;
    bool enabled = true;
    bool checked = false;
};

// Lives on the engine UI thread during one menu; the lock only guards a model a
// client keeps and touches from elsewhere.
class MenuModelImpl : public CefMenuModel {
public:
    bool Clear() override {
        std::lock_guard<std::mutex> g(lock_);
        items_.clear();
        return true;
    }
    int GetCount() override {
        std::lock_guard<std::mutex> g(lock_);
        return (int)items_.size();
    }
    bool AddSeparator() override { return InsertAt(-1, Separator()); }
    bool AddItem(int id, const CefString& label) override { return InsertAt(-1, Item(id, label, MENUITEMTYPE_COMMAND)); }
    bool AddCheckItem(int id, const CefString& label) override {
        return InsertAt(-1, Item(id, label, MENUITEMTYPE_CHECK));
    }
    bool InsertSeparatorAt(int index) override { return InsertAt(index, Separator()); }
    bool InsertItemAt(int index, int id, const CefString& label) override {
        return InsertAt(index, Item(id, label, MENUITEMTYPE_COMMAND));
    }
    bool Remove(int id) override { return RemoveAt(GetIndexOf(id)); }
    bool RemoveAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        if (!Valid(index)) return false;
        items_.erase(items_.begin() + index);
        return true;
    }
    int GetIndexOf(int id) override {
        std::lock_guard<std::mutex> g(lock_);
        return Find(id);
    }
    int GetCommandIdAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        return Valid(index) ? items_[index].id : -1;
    }
    bool SetCommandIdAt(int index, int id) override {
        std::lock_guard<std::mutex> g(lock_);
        if (!Valid(index)) return false;
        items_[index].id = id;
        return true;
    }
    CefString GetLabel(int id) override { return GetLabelAt(GetIndexOf(id)); }
    CefString GetLabelAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        return Valid(index) ? items_[index].label : CefString();
    }
    bool SetLabel(int id, const CefString& label) override { return SetLabelAt(GetIndexOf(id), label); }
    bool SetLabelAt(int index, const CefString& label) override {
        std::lock_guard<std::mutex> g(lock_);
        if (!Valid(index)) return false;
        items_[index].label = label;
        return true;
    }
    MenuItemType GetType(int id) override { return GetTypeAt(GetIndexOf(id)); }
    MenuItemType GetTypeAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        return Valid(index) ? items_[index].type : MENUITEMTYPE_NONE;
    }
    bool IsVisible(int id) override { return IsVisibleAt(GetIndexOf(id)); }
    bool IsVisibleAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        return Valid(index) && items_[index].visible;
    }
    bool SetVisible(int id, bool v) override { return SetVisibleAt(GetIndexOf(id), v); }
    bool SetVisibleAt(int index, bool v) override {
        std::lock_guard<std::mutex> g(lock_);
        if (!Valid(index)) return false;
        items_[index].visible = v;
        return true;
    }
    bool IsEnabled(int id) override { return IsEnabledAt(GetIndexOf(id)); }
    bool IsEnabledAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        return Valid(index) && items_[index].enabled;
    }
    bool SetEnabled(int id, bool v) override { return SetEnabledAt(GetIndexOf(id), v); }
    bool SetEnabledAt(int index, bool v) override {
        std::lock_guard<std::mutex> g(lock_);
        if (!Valid(index)) return false;
        items_[index].enabled = v;
        return true;
    }
    bool IsChecked(int id) override { return IsCheckedAt(GetIndexOf(id)); }
    bool IsCheckedAt(int index) override {
        std::lock_guard<std::mutex> g(lock_);
        return Valid(index) && items_[index].checked;
    }
    bool SetChecked(int id, bool v) override { return SetCheckedAt(GetIndexOf(id), v); }
    bool SetCheckedAt(int index, bool v) override {
        std::lock_guard<std::mutex> g(lock_);
        if (!Valid(index) || items_[index].type != MENUITEMTYPE_CHECK) return false;
        items_[index].checked = v;
        return true;
    }

    std::vector<MenuItem> Items() {
        std::lock_guard<std::mutex> g(lock_);
        return items_;
    }

private:
    static MenuItem Separator() {
        MenuItem m;
        m.id = -1;
        m.type = MENUITEMTYPE_SEPARATOR;
        return m;
    }
    static MenuItem Item(int id, const CefString& label, cef_menu_item_type_t type) {
        MenuItem m;
        m.id = id;
        m.label = label;
        m.type = type;
        return m;
    }
    bool InsertAt(int index, const MenuItem& item) {
        std::lock_guard<std::mutex> g(lock_);
        if (index < 0 || index > (int)items_.size()) index = (int)items_.size();
        items_.insert(items_.begin() + index, item);
        return true;
    }
    bool Valid(int index) const { return index >= 0 && index < (int)items_.size(); }
    int Find(int id) const {
        for (size_t i = 0; i < items_.size(); ++i)
            if (items_[i].id == id && items_[i].type != MENUITEMTYPE_SEPARATOR) return (int)i;
        return -1;
    }

    std::mutex lock_;
    std::vector<MenuItem> items_;
    IMPLEMENT_REFCOUNTING(MenuModelImpl);
};

class RunMenuCallbackImpl : public CefRunContextMenuCallback {
public:
    explicit RunMenuCallbackImpl(std::function<void(int, cef_event_flags_t)> done) : done_(std::move(done)) {}
    ~RunMenuCallbackImpl() override { Cancel(); }  // a callback dropped unanswered counts as cancelled
    void Continue(int command_id, cef_event_flags_t event_flags) override { Finish(command_id, event_flags); }
    void Cancel() override { Finish(0, EVENTFLAG_NONE); }
    void Disarm() {
        std::lock_guard<std::mutex> g(lock_);
        done_ = nullptr;
    }

private:
    void Finish(int command, cef_event_flags_t flags) {
        std::function<void(int, cef_event_flags_t)> done;
        {
            std::lock_guard<std::mutex> g(lock_);
            done.swap(done_);
        }
        if (done) done(command, flags);
    }
    std::mutex lock_;
    std::function<void(int, cef_event_flags_t)> done_;
    IMPLEMENT_REFCOUNTING(RunMenuCallbackImpl);
};

}  // namespace

CefRefPtr<CefContextMenuParams> CreateContextMenuParams(const ContextMenuInfo& info) {
    return new ContextMenuParamsImpl(info);
}

CefRefPtr<CefMenuModel> CreateMenuModel() { return new MenuModelImpl(); }

void AddDefaultMenuItems(CefRefPtr<CefMenuModel> model, const ContextMenuInfo& info, bool canGoBack,
                         bool canGoForward, bool chinese) {
    if (info.editable) {
        model->AddItem(MENU_ID_UNDO, chinese ? L"撤消(&U)" : L"&Undo");
        model->AddItem(MENU_ID_REDO, chinese ? L"重做(&R)" : L"&Redo");
        model->AddSeparator();
        model->AddItem(MENU_ID_CUT, chinese ? L"剪切(&T)" : L"Cu&t");
        model->AddItem(MENU_ID_COPY, chinese ? L"复制(&C)" : L"&Copy");
        model->AddItem(MENU_ID_PASTE, chinese ? L"粘贴(&P)" : L"&Paste");
        model->AddItem(MENU_ID_DELETE, chinese ? L"删除(&D)" : L"&Delete");
        model->AddSeparator();
        model->AddItem(MENU_ID_SELECT_ALL, chinese ? L"全选(&A)" : L"Select &All");
        bool hasSelection = (info.editFlags & CM_EDITFLAG_CAN_COPY) != 0;
        model->SetEnabled(MENU_ID_CUT, hasSelection);
        model->SetEnabled(MENU_ID_COPY, hasSelection);
        model->SetEnabled(MENU_ID_DELETE, hasSelection);
    } else if (info.typeFlags & CM_TYPEFLAG_SELECTION) {
        model->AddItem(MENU_ID_COPY, chinese ? L"复制(&C)" : L"&Copy");
    } else {
        model->AddItem(MENU_ID_BACK, chinese ? L"后退(&B)" : L"&Back");
        model->AddItem(MENU_ID_FORWARD, chinese ? L"前进(&F)" : L"&Forward");
        model->AddSeparator();
        model->AddItem(MENU_ID_RELOAD, chinese ? L"重新加载(&R)" : L"&Reload");
        model->SetEnabled(MENU_ID_BACK, canGoBack);
        model->SetEnabled(MENU_ID_FORWARD, canGoForward);
    }
}

CefRefPtr<CefRunContextMenuCallback> CreateRunMenuCallback(std::function<void(int, cef_event_flags_t)> done) {
    return new RunMenuCallbackImpl(std::move(done));
}

void DisarmRunMenuCallback(CefRefPtr<CefRunContextMenuCallback> callback) {
    if (callback) static_cast<RunMenuCallbackImpl*>(callback.get())->Disarm();
}

int TrackMenuModel(CefRefPtr<CefMenuModel> model, HWND owner, POINT screen) {
    MenuModelImpl* impl = static_cast<MenuModelImpl*>(model.get());
    HMENU menu = CreatePopupMenu();
    if (!menu) return 0;
    bool pendingSeparator = false;
    int count = 0;
    for (const MenuItem& item : impl->Items()) {
        if (!item.visible) continue;
        if (item.type == MENUITEMTYPE_SEPARATOR) {
            pendingSeparator = count > 0;  // no leading, doubled or trailing separators
            continue;
        }
        if (pendingSeparator) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        pendingSeparator = false;
        UINT flags = MF_STRING | (item.enabled ? 0 : MF_GRAYED) | (item.checked ? MF_CHECKED : 0);
        AppendMenuW(menu, flags, (UINT_PTR)item.id, item.label.c_str());
        ++count;
    }
    int command = 0;
    if (count > 0)
        command = (int)TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, screen.x, screen.y, 0,
                                      owner, nullptr);
    DestroyMenu(menu);
    return command;
}

// ---- a browser's menu ------------------------------------------------------------

using nlohmann::json;

void BrowserImpl::ShowContextMenu(const json& info) {
    HWND hwnd = hwnd_;
    if (!hwnd) return;
    std::string frameUrl = JsonString(info, "frame");
    std::string pageUrl = mainFrame_->GetURL().ToString();
    CefRefPtr<CefFrame> frame = mainFrame_.get();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (frameUrl != pageUrl)
            for (auto& f : frames_)
                if (!f.second->IsMain() && f.second->GetURL().ToString() == frameUrl) {
                    frame = f.second.get();
                    break;
                }
    }
    ContextMenuInfo menuInfo;
    menuInfo.x = menuPoint_.x;
    menuInfo.y = menuPoint_.y;
    menuInfo.linkUrl = JsonString(info, "link");
    menuInfo.sourceUrl = JsonString(info, "src");
    menuInfo.pageUrl = pageUrl;
    menuInfo.frameUrl = frameUrl;
    menuInfo.selectionText = JsonString(info, "sel");
    menuInfo.editable = JsonBool(info, "edit");
    std::string media = JsonString(info, "media");
    menuInfo.mediaType = media == "image"   ? CM_MEDIATYPE_IMAGE
                         : media == "video" ? CM_MEDIATYPE_VIDEO
                         : media == "audio" ? CM_MEDIATYPE_AUDIO
                         : media == "plugin" ? CM_MEDIATYPE_PLUGIN
                                             : CM_MEDIATYPE_NONE;
    int flags = frame->IsMain() ? CM_TYPEFLAG_PAGE : CM_TYPEFLAG_FRAME;
    if (!menuInfo.linkUrl.empty()) flags |= CM_TYPEFLAG_LINK;
    if (menuInfo.mediaType != CM_MEDIATYPE_NONE) flags |= CM_TYPEFLAG_MEDIA;
    if (!menuInfo.selectionText.empty()) flags |= CM_TYPEFLAG_SELECTION;
    if (menuInfo.editable) flags |= CM_TYPEFLAG_EDITABLE;
    menuInfo.typeFlags = flags;
    int editFlags = 0;
    if (menuInfo.editable) {
        editFlags = CM_EDITFLAG_CAN_UNDO | CM_EDITFLAG_CAN_REDO | CM_EDITFLAG_CAN_PASTE | CM_EDITFLAG_CAN_SELECT_ALL;
        if (!menuInfo.selectionText.empty()) editFlags |= CM_EDITFLAG_CAN_CUT | CM_EDITFLAG_CAN_COPY | CM_EDITFLAG_CAN_DELETE;
    } else if (!menuInfo.selectionText.empty()) {
        editFlags = CM_EDITFLAG_CAN_COPY;
    }
    menuInfo.editFlags = editFlags;

    CefRefPtr<CefContextMenuParams> params = CreateContextMenuParams(menuInfo);
    CefRefPtr<CefMenuModel> model = CreateMenuModel();
    AddDefaultMenuItems(model, menuInfo, CanGoBack(), CanGoForward(), ChineseUi());

    CefRefPtr<CefContextMenuHandler> handler = client_ ? client_->GetContextMenuHandler() : nullptr;
    if (handler) handler->OnBeforeContextMenu(this, frame, params, model);
    if (closed_ || model->GetCount() == 0) return;  // an emptied model: no menu at all

    CefRefPtr<BrowserImpl> self(this);
    auto run = [self, frame, params, handler, info](int command, cef_event_flags_t flags) {
        if (command > 0 && !self->closed_) {
            bool handled = handler && handler->OnContextMenuCommand(self.get(), frame, params, command, flags);
            if (!handled) self->RunMenuCommand(command, info);
        }
        if (handler) handler->OnContextMenuDismissed(self.get(), frame);
    };
    if (handler) {
        CefRefPtr<CefRunContextMenuCallback> callback = CreateRunMenuCallback(run);
        if (handler->RunContextMenu(this, frame, params, model, callback)) return;
        DisarmRunMenuCallback(callback);
    }

    POINT screen = menuPoint_;
    ClientToScreen(hwnd, &screen);
    int command = TrackMenuModel(model, hwnd, screen);
    run(command, EVENTFLAG_NONE);
}

void BrowserImpl::RunMenuCommand(int commandId, const json& info) {
    switch (commandId) {
    case MENU_ID_BACK: GoBack(); break;
    case MENU_ID_FORWARD: GoForward(); break;
    case MENU_ID_RELOAD: Reload(); break;
    case MENU_ID_RELOAD_NOCACHE: ReloadIgnoreCache(); break;
    case MENU_ID_STOPLOAD: StopLoad(); break;
    case MENU_ID_COPY:
    case MENU_ID_CUT: {
        std::string sel = JsonString(info, "sel");
        if (!sel.empty()) PutOnClipboard(hwnd_, CefString(sel).ToWString());
        if (commandId == MENU_ID_CUT) Command("Runtime.evaluate", {{"expression", "document.execCommand('delete')"}});
        break;
    }
    case MENU_ID_PASTE: {
        std::wstring text = ClipboardText(hwnd_);
        if (!text.empty()) Command("Input.insertText", {{"text", CefString(text).ToString()}});
        break;
    }
    case MENU_ID_UNDO: Command("Runtime.evaluate", {{"expression", "document.execCommand('undo')"}}); break;
    case MENU_ID_REDO: Command("Runtime.evaluate", {{"expression", "document.execCommand('redo')"}}); break;
    case MENU_ID_DELETE: Command("Runtime.evaluate", {{"expression", "document.execCommand('delete')"}}); break;
    case MENU_ID_SELECT_ALL: Command("Runtime.evaluate", {{"expression", "document.execCommand('selectAll')"}}); break;
    default: break;
    }
}

}  // namespace cef_internal
