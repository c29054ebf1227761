// Document visitor that hands the document to a bound callable.
#pragma once

#include <functional>
#include <utility>
#include "include/cef_dom.h"

class CDOMVisitor : public CefDOMVisitor {
public:
    typedef std::function<void(CefRefPtr<CefDOMDocument>)> VisitCallback;

    explicit CDOMVisitor(VisitCallback callback) : visitCallback(std::move(callback)) {}

    // The document is valid only during the call; the callback must not keep it.
    void Visit(CefRefPtr<CefDOMDocument> document) override {
        if (visitCallback) visitCallback(document);
    }

    VisitCallback visitCallback;

    IMPLEMENT_REFCOUNTING(CDOMVisitor);
};
