// Read access to a page's document from the render process.
#pragma once

#include "include/cef_base.h"
#include "include/internal/cef_types.h"

class CefDOMDocument;
class CefDOMNode;

class CefDOMVisitor : public virtual CefBase {
public:
    // Runs synchronously while the document is valid; do not keep the document.
    virtual void Visit(CefRefPtr<CefDOMDocument> document) = 0;
};

typedef enum {
    DOM_DOCUMENT_TYPE_UNKNOWN = 0,
    DOM_DOCUMENT_TYPE_HTML,
    DOM_DOCUMENT_TYPE_XHTML,
    DOM_DOCUMENT_TYPE_PLUGIN,
} cef_dom_document_type_t;

typedef enum {
    DOM_NODE_TYPE_UNSUPPORTED = 0,
    DOM_NODE_TYPE_ELEMENT,
    DOM_NODE_TYPE_ATTRIBUTE,
    DOM_NODE_TYPE_TEXT,
    DOM_NODE_TYPE_CDATA_SECTION,
    DOM_NODE_TYPE_PROCESSING_INSTRUCTIONS,
    DOM_NODE_TYPE_COMMENT,
    DOM_NODE_TYPE_DOCUMENT,
    DOM_NODE_TYPE_DOCUMENT_TYPE,
    DOM_NODE_TYPE_DOCUMENT_FRAGMENT,
} cef_dom_node_type_t;

class CefDOMDocument : public virtual CefBase {
public:
    typedef cef_dom_document_type_t Type;
    virtual Type GetType() = 0;
    virtual CefRefPtr<CefDOMNode> GetDocument() = 0;
    virtual CefRefPtr<CefDOMNode> GetBody() = 0;
    virtual CefRefPtr<CefDOMNode> GetHead() = 0;
    virtual CefString GetTitle() = 0;
    virtual CefRefPtr<CefDOMNode> GetElementById(const CefString& id) = 0;
    virtual CefRefPtr<CefDOMNode> GetFocusedNode() = 0;
    virtual bool HasSelection() = 0;
    virtual CefString GetSelectionAsText() = 0;
    virtual CefString GetBaseURL() = 0;
    virtual CefString GetCompleteURL(const CefString& partialURL) = 0;
};

class CefDOMNode : public virtual CefBase {
public:
    typedef cef_dom_node_type_t Type;
    virtual Type GetType() = 0;
    virtual bool IsText() = 0;
    virtual bool IsElement() = 0;
    virtual bool IsEditable() = 0;
    virtual bool IsFormControlElement() = 0;
    virtual bool IsSame(CefRefPtr<CefDOMNode> that) = 0;
    virtual CefString GetName() = 0;
    virtual CefString GetValue() = 0;
    virtual CefString GetAsMarkup() = 0;
    virtual CefRefPtr<CefDOMDocument> GetDocument() = 0;
    virtual CefRefPtr<CefDOMNode> GetParent() = 0;
    virtual bool HasChildren() = 0;
    virtual CefString GetElementTagName() = 0;
    virtual bool HasElementAttribute(const CefString& attrName) = 0;
    virtual CefString GetElementAttribute(const CefString& attrName) = 0;
    virtual CefString GetElementInnerText() = 0;
};
