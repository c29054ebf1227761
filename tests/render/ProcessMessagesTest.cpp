// The render-side half of the user-name exchange against a page held in memory:
// which requests are taken, what is read, what is answered.
#include <gtest/gtest.h>
#include <cstring>
#include <map>
#include "app/GameApp.h"
#include "browser/DOMVisitor.h"
#include "include/cef_browser.h"
#include "common/StubBrowser.h"

namespace {

class FakeNode : public CefDOMNode {
public:
    explicit FakeNode(const std::wstring& text) : text_(text) {}
    Type GetType() override { return DOM_NODE_TYPE_ELEMENT; }
    bool IsText() override { return false; }
    bool IsElement() override { return true; }
    bool IsEditable() override { return false; }
    bool IsFormControlElement() override { return false; }
    bool IsSame(CefRefPtr<CefDOMNode> that) override { return that.get() == this; }
    CefString GetName() override { return L"SPAN"; }
    CefString GetValue() override { return L""; }
    CefString GetAsMarkup() override { return L""; }
    CefRefPtr<CefDOMDocument> GetDocument() override { return nullptr; }
    CefRefPtr<CefDOMNode> GetParent() override { return nullptr; }
    bool HasChildren() override { return true; }
    CefString GetElementTagName() override { return L"SPAN"; }
    bool HasElementAttribute(const CefString&) override { return false; }
    CefString GetElementAttribute(const CefString&) override { return L""; }
    CefString GetElementInnerText() override { return text_; }

private:
    std::wstring text_;
    IMPLEMENT_REFCOUNTING(FakeNode);
};

class FakeDocument : public CefDOMDocument {
public:
    std::map<std::wstring, std::wstring> elements;  // id -> inner text
    std::vector<std::wstring> lookups;

    Type GetType() override { return DOM_DOCUMENT_TYPE_HTML; }
    CefRefPtr<CefDOMNode> GetDocument() override { return nullptr; }
    CefRefPtr<CefDOMNode> GetBody() override { return nullptr; }
    CefRefPtr<CefDOMNode> GetHead() override { return nullptr; }
    CefString GetTitle() override { return L""; }
    CefRefPtr<CefDOMNode> GetElementById(const CefString& id) override {
        lookups.push_back(id.ToWString());
        auto it = elements.find(id.ToWString());
        return it == elements.end() ? nullptr : new FakeNode(it->second);
    }
    CefRefPtr<CefDOMNode> GetFocusedNode() override { return nullptr; }
    bool HasSelection() override { return false; }
    CefString GetSelectionAsText() override { return L""; }
    CefString GetBaseURL() override { return L""; }
    CefString GetCompleteURL(const CefString&) override { return L""; }

    IMPLEMENT_REFCOUNTING(FakeDocument);
};

class FakeBrowser;

class FakeFrame : public testutil::StubFrame {
public:
    FakeFrame(CefRefPtr<FakeDocument> document, bool main)
        : StubFrame(L"http://127.0.0.1/xf.html", main), document_(document) {}
    int visits = 0;

    void VisitDOM(CefRefPtr<CefDOMVisitor> visitor) override {
        ++visits;
        visitor->Visit(document_.get());
    }

private:
    CefRefPtr<FakeDocument> document_;
};

class FakeBrowser : public testutil::StubBrowser {
public:
    CefRefPtr<FakeFrame> mainFrame;
    std::vector<std::pair<CefProcessId, CefRefPtr<CefProcessMessage>>> sent;

    CefRefPtr<CefFrame> GetMainFrame() override { return mainFrame.get(); }
    bool SendProcessMessage(CefProcessId target, CefRefPtr<CefProcessMessage> message) override {
        sent.push_back({target, message});
        return true;
    }

};

CefRefPtr<CefProcessMessage> Request(const std::wstring& name, const std::vector<std::wstring>& args) {
    CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create(name);
    m->GetArgumentList()->SetSize(args.size());
    for (size_t i = 0; i < args.size(); ++i) m->GetArgumentList()->SetString((int)i, args[i]);
    return m;
}

CefRefPtr<CefProcessMessage> GetUser() { return Request(L"velmar_msg", {L"getuser"}); }

class RenderSideMessages : public testing::Test {
protected:
    void SetUp() override {
        document = new FakeDocument();
        browser = new FakeBrowser();
        browser->mainFrame = new FakeFrame(document, true);
    }
    // The name in the one answer sent since the last call; fails on any other traffic.
    std::wstring TakeAnswer() {
        EXPECT_EQ(browser->sent.size(), 1u);
        if (browser->sent.size() != 1) return L"<no single answer>";
        auto sent = browser->sent.front();
        browser->sent.clear();
        EXPECT_EQ(sent.first, PID_BROWSER);
        EXPECT_EQ(sent.second->GetName().ToWString(), L"velmar_msg");
        CefRefPtr<CefListValue> args = sent.second->GetArgumentList();
        EXPECT_EQ(args->GetSize(), 2u);
        EXPECT_EQ(args->GetString(0).ToWString(), L"getuser");
        return args->GetString(1).ToWString();
    }
    bool Handle(CefRefPtr<CefProcessMessage> m, CefProcessId source = PID_BROWSER) {
        return app.OnRenderProcessMessage(browser.get(), source, m);
    }

    gameApp app;
    CefRefPtr<FakeDocument> document;
    CefRefPtr<FakeBrowser> browser;
};

TEST_F(RenderSideMessages, ReadsTheLoginUserElementAndAnswers) {
    document->elements[L"login_user"] = L"abc";
    document->elements[L"other"] = L"wrong";
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_EQ(document->lookups, std::vector<std::wstring>{L"login_user"});
    EXPECT_EQ(TakeAnswer(), L"abc");
    EXPECT_STREQ(app.userNameAnsi, "abc");
}

TEST_F(RenderSideMessages, ChineseNameArrivesUnchangedAndIsKeptAsUtf8) {
    document->elements[L"login_user"] = L"\u73a9\u5bb6\u4e00\u53f7";
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_EQ(TakeAnswer(), L"\u73a9\u5bb6\u4e00\u53f7");
    EXPECT_STREQ(app.userNameAnsi, "\xe7\x8e\xa9\xe5\xae\xb6\xe4\xb8\x80\xe5\x8f\xb7");
}

TEST_F(RenderSideMessages, RequestsThatAreNotOursAreRefused) {
    document->elements[L"login_user"] = L"abc";
    EXPECT_FALSE(Handle(GetUser(), PID_RENDERER));
    EXPECT_FALSE(Handle(Request(L"VELMAR_MSG", {L"getuser"})));
    EXPECT_FALSE(Handle(Request(L"velmar_msg ", {L"getuser"})));
    EXPECT_FALSE(Handle(Request(L"", {L"getuser"})));
    EXPECT_FALSE(app.OnRenderProcessMessage(browser.get(), PID_BROWSER, nullptr));
    EXPECT_EQ(browser->mainFrame->visits, 0);
    EXPECT_TRUE(browser->sent.empty());
}

TEST_F(RenderSideMessages, MalformedRequestsAreHandledButUnanswered) {
    document->elements[L"login_user"] = L"abc";
    EXPECT_TRUE(Handle(Request(L"velmar_msg", {})));
    EXPECT_TRUE(Handle(Request(L"velmar_msg", {L"GETUSER"})));
    EXPECT_TRUE(Handle(Request(L"velmar_msg", {L""})));
    CefRefPtr<CefProcessMessage> number = CefProcessMessage::Create(L"velmar_msg");
    number->GetArgumentList()->SetInt(0, 1);
    EXPECT_TRUE(Handle(number));
    EXPECT_EQ(browser->mainFrame->visits, 0);
    EXPECT_TRUE(browser->sent.empty());

    // Extra entries after "getuser" do not stop the request.
    EXPECT_TRUE(Handle(Request(L"velmar_msg", {L"getuser", L"extra"})));
    EXPECT_EQ(TakeAnswer(), L"abc");
}

TEST_F(RenderSideMessages, NoMainFrameMeansNoAnswer) {
    browser->mainFrame = nullptr;
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_TRUE(browser->sent.empty());
}

TEST_F(RenderSideMessages, EarlierNameIsRepeatedWhenTheElementIsGone) {
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_TRUE(browser->sent.empty()) << "answered before any name was read";

    document->elements[L"login_user"] = L"first";
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_EQ(TakeAnswer(), L"first");

    document->elements.clear();
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_EQ(TakeAnswer(), L"first");

    // An element with empty text replaces the name with nothing: no answer.
    document->elements[L"login_user"] = L"";
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_TRUE(browser->sent.empty());
    EXPECT_STREQ(app.userNameAnsi, "");
}

TEST_F(RenderSideMessages, TextIsUsedAsItComes) {
    document->elements[L"login_user"] = L"  a b\tc \n";
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_EQ(TakeAnswer(), L"  a b\tc \n");
}

TEST_F(RenderSideMessages, LongNamesAreCutAtACharacterBoundary) {
    struct Case {
        std::wstring text;
        std::wstring expected;
    };
    const std::wstring zhong(L"\u4e2d");                   // 3 bytes in UTF-8
    const std::wstring smile(L"\U0001F600");               // 4 bytes, a surrogate pair
    std::wstring ascii70(70, L'x'), zh30, ab_zh30 = L"ab", ab_smile20 = L"ab", zh21, ab_zh20, ab_smile15;
    for (int i = 0; i < 30; ++i) zh30 += zhong, ab_zh30 += zhong;
    for (int i = 0; i < 21; ++i) zh21 += zhong;
    ab_zh20 = L"ab";
    for (int i = 0; i < 20; ++i) ab_zh20 += zhong;
    for (int i = 0; i < 20; ++i) ab_smile20 += smile;
    ab_smile15 = L"ab";
    for (int i = 0; i < 15; ++i) ab_smile15 += smile;
    const Case cases[] = {
        {ascii70, std::wstring(63, L'x')},
        {zh30, zh21},             // 63 bytes exactly
        {ab_zh30, ab_zh20},       // 62 bytes: a 21st character would end past byte 63
        {ab_smile20, ab_smile15}, // 62 bytes, never half a pair
        {std::wstring(63, L'y'), std::wstring(63, L'y')},
    };
    for (const Case& c : cases) {
        document->elements[L"login_user"] = c.text;
        EXPECT_TRUE(Handle(GetUser()));
        EXPECT_EQ(TakeAnswer(), c.expected) << "from " << c.text.size() << " units";
        EXPECT_LE(strlen(app.userNameAnsi), 63u);
    }
}

TEST_F(RenderSideMessages, TheDocumentIsNotKeptAfterTheVisit) {
    document->elements[L"login_user"] = L"abc";
    int before = document->GetRefCt();
    EXPECT_TRUE(Handle(GetUser()));
    EXPECT_EQ(document->GetRefCt(), before);
    TakeAnswer();
}

TEST(DOMVisitor, PassesTheDocumentToItsCallbackAndToleratesNone) {
    CefRefPtr<FakeDocument> document = new FakeDocument();
    CefDOMDocument* seen = nullptr;
    CefRefPtr<CDOMVisitor> visitor = new CDOMVisitor([&](CefRefPtr<CefDOMDocument> d) { seen = d.get(); });
    visitor->Visit(document.get());
    EXPECT_EQ(seen, document.get());

    CefRefPtr<CDOMVisitor> empty = new CDOMVisitor(nullptr);
    empty->Visit(document.get());  // nothing to call: nothing happens
    EXPECT_FALSE(empty->visitCallback);
}

}  // namespace
