#include "src/render/render_dom.h"

#include <atomic>
#include "src/render/render_channel.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const char kDomWorld[] = "vornmark-dom";

json Arg(const std::string& value) {
    json a = json::object();
    a["value"] = value;
    return a;
}

// One visit: the context the document is read in and the object group that holds
// the visit's remote objects, released when the visit ends. Nodes and the document
// stop answering once `valid` is cleared.
struct VisitScope {
    std::shared_ptr<RenderChannel> channel;
    int contextId = 0;
    std::string group;
    std::atomic<bool> valid{true};

    // Calls `fn` with `this` bound to the remote object; `*value` is the result object.
    bool CallOn(const std::string& objectId, const char* fn, const json& args, bool byValue, json* value) {
        if (!valid || objectId.empty()) return false;
        json params = json::object();
        params["functionDeclaration"] = fn;
        params["objectId"] = objectId;
        params["arguments"] = args;
        params["returnByValue"] = byValue;
        params["objectGroup"] = group;
        params["silent"] = true;
        json result;
        if (!channel->Call("Runtime.callFunctionOn", params, &result)) return false;
        if (result.contains("exceptionDetails")) return false;
        *value = JsonObject(result, "result");
        return true;
    }
    std::string String(const std::string& objectId, const char* fn, const json& args = json::array()) {
        json v;
        return CallOn(objectId, fn, args, true, &v) ? JsonString(v, "value") : std::string();
    }
    bool Bool(const std::string& objectId, const char* fn, const json& args = json::array()) {
        json v;
        return CallOn(objectId, fn, args, true, &v) && JsonBool(v, "value");
    }
    int Int(const std::string& objectId, const char* fn) {
        json v;
        return CallOn(objectId, fn, json::array(), true, &v) ? JsonInt(v, "value") : 0;
    }
    // The remote object id of the node `fn` returns; empty for null.
    std::string Object(const std::string& objectId, const char* fn, const json& args = json::array()) {
        json v;
        return CallOn(objectId, fn, args, false, &v) ? JsonString(v, "objectId") : std::string();
    }
};

class DomDocument;

class DomNode : public CefDOMNode {
public:
    DomNode(std::shared_ptr<VisitScope> scope, CefRefPtr<CefDOMDocument> document, const std::string& objectId)
        : scope_(std::move(scope)), document_(document), objectId_(objectId) {}

    const std::string& objectId() const { return objectId_; }

    Type GetType() override {
        switch (scope_->Int(objectId_, "function(){return this.nodeType;}")) {
            case 1: return DOM_NODE_TYPE_ELEMENT;
            case 2: return DOM_NODE_TYPE_ATTRIBUTE;
            case 3: return DOM_NODE_TYPE_TEXT;
            case 4: return DOM_NODE_TYPE_CDATA_SECTION;
            case 7: return DOM_NODE_TYPE_PROCESSING_INSTRUCTIONS;
            case 8: return DOM_NODE_TYPE_COMMENT;
            case 9: return DOM_NODE_TYPE_DOCUMENT;
            case 10: return DOM_NODE_TYPE_DOCUMENT_TYPE;
            case 11: return DOM_NODE_TYPE_DOCUMENT_FRAGMENT;
            default: return DOM_NODE_TYPE_UNSUPPORTED;
        }
    }
    bool IsText() override { return GetType() == DOM_NODE_TYPE_TEXT; }
    bool IsElement() override { return GetType() == DOM_NODE_TYPE_ELEMENT; }
    bool IsEditable() override {
        return scope_->Bool(objectId_,
                            "function(){if(this.nodeType!==1)return false;if(this.isContentEditable)return true;"
                            "var t=this.tagName;return (t==='INPUT'||t==='TEXTAREA')&&!this.readOnly&&!this.disabled;}");
    }
    bool IsFormControlElement() override {
        return scope_->Bool(objectId_,
                            "function(){return this.nodeType===1&&/^(BUTTON|FIELDSET|INPUT|OUTPUT|SELECT|TEXTAREA)$/"
                            ".test(this.tagName);}");
    }
    bool IsSame(CefRefPtr<CefDOMNode> that) override {
        DomNode* other = dynamic_cast<DomNode*>(that.get());
        if (!other) return false;
        json arg = json::object();
        arg["objectId"] = other->objectId_;
        return scope_->Bool(objectId_, "function(o){return this===o;}", json::array({arg}));
    }
    CefString GetName() override { return Text("function(){return this.nodeName;}"); }
    CefString GetValue() override {
        return Text("function(){if(this.nodeType===1&&/^(INPUT|SELECT|TEXTAREA|BUTTON|OUTPUT)$/.test(this.tagName))"
                    "return String(this.value);return this.nodeValue===null?'':String(this.nodeValue);}");
    }
    CefString GetAsMarkup() override {
        return Text("function(){return this.nodeType===1?this.outerHTML:new XMLSerializer().serializeToString(this);}");
    }
    CefRefPtr<CefDOMDocument> GetDocument() override { return scope_->valid ? document_ : nullptr; }
    CefRefPtr<CefDOMNode> GetParent() override { return Node("function(){return this.parentNode;}"); }
    bool HasChildren() override { return scope_->Bool(objectId_, "function(){return this.hasChildNodes();}"); }
    CefString GetElementTagName() override {
        return Text("function(){return this.nodeType===1?this.tagName:'';}");
    }
    bool HasElementAttribute(const CefString& attrName) override {
        return scope_->Bool(objectId_, "function(n){return this.nodeType===1&&this.hasAttribute(n);}",
                            json::array({Arg(attrName.ToString())}));
    }
    CefString GetElementAttribute(const CefString& attrName) override {
        return CefString(scope_->String(objectId_,
                                        "function(n){var v=this.nodeType===1?this.getAttribute(n):null;"
                                        "return v===null?'':v;}",
                                        json::array({Arg(attrName.ToString())})));
    }
    // The text as rendered (innerText); elements without it give their text content.
    CefString GetElementInnerText() override {
        return Text("function(){if(this.nodeType!==1)return '';var t=this.innerText;"
                    "return typeof t==='string'?t:(this.textContent||'');}");
    }

    CefRefPtr<CefDOMNode> Node(const char* fn, const json& args = json::array()) {
        std::string id = scope_->Object(objectId_, fn, args);
        if (id.empty()) return nullptr;
        return new DomNode(scope_, document_, id);
    }

private:
    CefString Text(const char* fn) { return CefString(scope_->String(objectId_, fn)); }

    std::shared_ptr<VisitScope> scope_;
    CefRefPtr<CefDOMDocument> document_;
    std::string objectId_;
    IMPLEMENT_REFCOUNTING(DomNode);
};

class DomDocument : public CefDOMDocument {
public:
    DomDocument(std::shared_ptr<VisitScope> scope, const std::string& objectId)
        : scope_(std::move(scope)), objectId_(objectId) {}

    Type GetType() override {
        std::string type = Text("function(){return this.contentType||'';}").ToString();
        if (type == "text/html") return DOM_DOCUMENT_TYPE_HTML;
        if (type == "application/xhtml+xml") return DOM_DOCUMENT_TYPE_XHTML;
        return DOM_DOCUMENT_TYPE_UNKNOWN;
    }
    // The document node does not hold the document back, so nothing keeps itself alive.
    CefRefPtr<CefDOMNode> GetDocument() override { return Node("function(){return this;}"); }
    CefRefPtr<CefDOMNode> GetBody() override { return Node("function(){return this.body;}"); }
    CefRefPtr<CefDOMNode> GetHead() override { return Node("function(){return this.head;}"); }
    CefString GetTitle() override { return Text("function(){return this.title;}"); }
    CefRefPtr<CefDOMNode> GetElementById(const CefString& id) override {
        return Node("function(i){return this.getElementById(i);}", json::array({Arg(id.ToString())}));
    }
    CefRefPtr<CefDOMNode> GetFocusedNode() override { return Node("function(){return this.activeElement;}"); }
    bool HasSelection() override {
        return scope_->Bool(objectId_,
                            "function(){var s=this.getSelection();return !!s&&s.rangeCount>0&&!s.isCollapsed;}");
    }
    CefString GetSelectionAsText() override {
        return Text("function(){var s=this.getSelection();return s?String(s):'';}");
    }
    CefString GetBaseURL() override { return Text("function(){return this.baseURI||'';}"); }
    CefString GetCompleteURL(const CefString& partialURL) override {
        return CefString(scope_->String(objectId_,
                                        "function(p){try{return new URL(p,this.baseURI).href;}catch(e){return '';}}",
                                        json::array({Arg(partialURL.ToString())})));
    }

private:
    CefString Text(const char* fn) { return CefString(scope_->String(objectId_, fn)); }
    CefRefPtr<CefDOMNode> Node(const char* fn, const json& args = json::array()) {
        std::string id = scope_->Object(objectId_, fn, args);
        if (id.empty()) return nullptr;
        return new DomNode(scope_, this, id);
    }

    std::shared_ptr<VisitScope> scope_;
    std::string objectId_;
    IMPLEMENT_REFCOUNTING(DomDocument);
};

}  // namespace

void VisitFrameDocument(std::shared_ptr<RenderChannel> channel, const std::string& frameId,
                        CefRefPtr<CefDOMVisitor> visitor) {
    if (!visitor) return;
    json params = json::object();
    params["frameId"] = frameId;
    params["worldName"] = kDomWorld;
    json world;
    if (!channel->Call("Page.createIsolatedWorld", params, &world)) return;
    auto scope = std::make_shared<VisitScope>();
    scope->channel = channel;
    scope->contextId = JsonInt(world, "executionContextId");
    static std::atomic<unsigned> visits(0);
    scope->group = "vornmark-visit-" + std::to_string(++visits);
    if (!scope->contextId) return;

    json evaluate = json::object();
    evaluate["expression"] = "document";
    evaluate["contextId"] = scope->contextId;
    evaluate["objectGroup"] = scope->group;
    evaluate["returnByValue"] = false;
    evaluate["silent"] = true;
    json result;
    std::string documentId;
    if (channel->Call("Runtime.evaluate", evaluate, &result) && !result.contains("exceptionDetails"))
        documentId = JsonString(JsonObject(result, "result"), "objectId");
    if (!documentId.empty()) {
        CefRefPtr<CefDOMDocument> document = new DomDocument(scope, documentId);
        visitor->Visit(document);
    }
    scope->valid = false;
    json release = json::object();
    release["objectGroup"] = scope->group;
    channel->Post("Runtime.releaseObjectGroup", release);
}

}  // namespace cef_internal
