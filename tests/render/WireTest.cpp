// The pipe form of process messages: what goes in comes out unit for unit, and
// damaged input is refused instead of being half-read.
#include <gtest/gtest.h>
#include <cstring>
#include "src/api/process_message_wire.h"

using cef_internal::DecodeProcessMessage;
using cef_internal::EncodeDevToolsFrame;
using cef_internal::EncodeProcessMessage;
using cef_internal::kMaxWireArguments;
using cef_internal::kMaxWireFrame;
using cef_internal::WireReader;

namespace {

std::string Body(const std::string& frame) { return frame.substr(4); }

}  // namespace

TEST(ProcessMessageWire, EveryKindOfArgumentSurvivesTheTripAsWellFormedText) {
    CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create(L"velmar_msg");
    CefRefPtr<CefListValue> a = m->GetArgumentList();
    a->SetString(0, L"getuser");
    a->SetString(1, L"\u73a9\u5bb6\u4e00\u53f7");       // Chinese
    a->SetString(2, std::wstring(L"a\0b", 3));          // embedded NUL
    // Halves of surrogate pairs on their own are dropped (text from another process
    // is stored well-formed); a whole pair stays.
    a->SetString(3, std::wstring(L"a") + (wchar_t)0xD83D + L"b" + (wchar_t)0xDE00 + L"\U0001F600" + (wchar_t)0xD83D);
    a->SetString(4, L"");
    a->SetInt(5, -123456789);
    a->SetDouble(6, 2.5e-300);
    a->SetBool(7, true);
    a->SetNull(8);

    std::string frame = EncodeProcessMessage(m);
    CefRefPtr<CefProcessMessage> back = DecodeProcessMessage(frame.data() + 4, frame.size() - 4);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetName().ToWString(), L"velmar_msg");
    CefRefPtr<CefListValue> b = back->GetArgumentList();
    ASSERT_EQ(b->GetSize(), 9u);
    EXPECT_EQ(b->GetString(0).ToWString(), L"getuser");
    EXPECT_EQ(b->GetString(1).ToWString(), L"\u73a9\u5bb6\u4e00\u53f7");
    EXPECT_EQ(b->GetString(2).ToWString(), std::wstring(L"a\0b", 3));
    EXPECT_EQ(b->GetString(3).ToWString(), L"ab\U0001F600");
    EXPECT_EQ(b->GetType(4), VTYPE_STRING);
    EXPECT_EQ(b->GetString(4).ToWString(), L"");
    EXPECT_EQ(b->GetInt(5), -123456789);
    EXPECT_EQ(b->GetDouble(6), 2.5e-300);
    EXPECT_TRUE(b->GetBool(7));
    EXPECT_EQ(b->GetType(8), VTYPE_NULL);
}

TEST(ProcessMessageWire, EmptyNameAndNoArguments) {
    std::string frame = EncodeProcessMessage(CefProcessMessage::Create(L""));
    CefRefPtr<CefProcessMessage> back = DecodeProcessMessage(frame.data() + 4, frame.size() - 4);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->GetName().empty());
    EXPECT_EQ(back->GetArgumentList()->GetSize(), 0u);
}

TEST(ProcessMessageWire, DamagedBodiesAreRefused) {
    CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create(L"velmar_msg");
    m->GetArgumentList()->SetString(0, L"getuser");
    m->GetArgumentList()->SetInt(1, 7);
    std::string body = Body(EncodeProcessMessage(m));

    // Every cut short of the whole body is refused, as is anything trailing it.
    for (size_t n = 0; n < body.size(); ++n)
        EXPECT_FALSE(DecodeProcessMessage(body.data(), n)) << "accepted a body cut to " << n << " bytes";
    std::string longer = body + "x";
    EXPECT_FALSE(DecodeProcessMessage(longer.data(), longer.size()));

    // An unknown argument kind.
    std::string badType = body;
    badType[4 + 2 * 10 + 4] = 9;  // type byte of argument 0
    EXPECT_FALSE(DecodeProcessMessage(badType.data(), badType.size()));

    // Counts far beyond the data must neither be believed nor allocated.
    std::string hugeName = body;
    memset(&hugeName[0], 0xFF, 4);
    EXPECT_FALSE(DecodeProcessMessage(hugeName.data(), hugeName.size()));
    std::string hugeCount = body;
    memset(&hugeCount[4 + 2 * 10], 0xFF, 4);
    EXPECT_FALSE(DecodeProcessMessage(hugeCount.data(), hugeCount.size()));
}

// What the encoder hands out the peer takes; what the peer would refuse (and then
// give up on the whole stream for) is not encoded at all.
TEST(ProcessMessageWire, NothingIsSentThatThePeerWouldRefuse) {
    // Name "m" (6 bytes), count (4), an int (5), a string (5 + 2 per unit).
    CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create(L"m");
    m->GetArgumentList()->SetInt(0, 1);
    m->GetArgumentList()->SetString(1, std::wstring((kMaxWireFrame - 20) / 2, L'a'));
    std::string frame = EncodeProcessMessage(m);
    ASSERT_EQ(frame.size(), 4 + kMaxWireFrame);
    WireReader reader;
    reader.Append(frame.data(), frame.size());
    std::string body;
    bool broken = true;
    ASSERT_TRUE(reader.Next(&body, &broken));
    EXPECT_FALSE(broken);
    EXPECT_TRUE(DecodeProcessMessage(body.data(), body.size()));

    m->GetArgumentList()->SetString(1, std::wstring((kMaxWireFrame - 20) / 2 + 1, L'a'));
    EXPECT_TRUE(EncodeProcessMessage(m).empty());

    CefRefPtr<CefProcessMessage> many = CefProcessMessage::Create(L"many");
    many->GetArgumentList()->SetSize(kMaxWireArguments);
    frame = EncodeProcessMessage(many);
    ASSERT_FALSE(frame.empty());
    CefRefPtr<CefProcessMessage> back = DecodeProcessMessage(frame.data() + 4, frame.size() - 4);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetArgumentList()->GetSize(), kMaxWireArguments);
    many->GetArgumentList()->SetSize(kMaxWireArguments + 1);
    EXPECT_TRUE(EncodeProcessMessage(many).empty());
}

// Every argument costs far more in a list than its one byte on the wire: a frame
// full of nulls must not make the receiving side build a list of millions.
TEST(ProcessMessageWire, ArgumentCountsBeyondTheMaximumAreRefused) {
    std::string body(4, '\0');  // empty name
    uint32_t count = (uint32_t)kMaxWireArguments + 1;
    for (int i = 0; i < 4; ++i) body += (char)((count >> (8 * i)) & 0xFF);
    body.append(count, '\0');  // that many nulls
    EXPECT_FALSE(DecodeProcessMessage(body.data(), body.size()));
}

TEST(ProcessMessageWire, ReaderReassemblesFramesSplitAnywhere) {
    // Process messages with the DevTools messages that share the pipe between them.
    std::string stream;
    for (int i = 0; i < 3; ++i) {
        CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create(L"m" + std::to_wstring(i));
        m->GetArgumentList()->SetString(0, std::wstring(i * 40, L'\u4e2d'));
        stream += EncodeProcessMessage(m);
        stream += EncodeDevToolsFrame("{\"id\":" + std::to_string(i) + "}");
    }
    // Byte by byte, the way a pipe may hand it over at its worst.
    WireReader reader;
    std::vector<std::wstring> names;
    std::vector<std::string> devtools;
    std::string body;
    bool broken = false, isDevTools = false;
    for (char c : stream) {
        reader.Append(&c, 1);
        while (reader.Next(&body, &broken, &isDevTools)) {
            if (isDevTools) {
                devtools.push_back(body);
                continue;
            }
            CefRefPtr<CefProcessMessage> m = DecodeProcessMessage(body.data(), body.size());
            ASSERT_TRUE(m);
            names.push_back(m->GetName().ToWString());
            EXPECT_EQ(m->GetArgumentList()->GetString(0).ToWString().size(), names.size() * 40 - 40);
        }
        ASSERT_FALSE(broken);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"m0", L"m1", L"m2"}));
    EXPECT_EQ(devtools, (std::vector<std::string>{"{\"id\":0}", "{\"id\":1}", "{\"id\":2}"}));
    // A reader that takes no DevTools messages takes one for a broken stream.
    WireReader plain;
    std::string frame = EncodeDevToolsFrame("{}");
    plain.Append(frame.data(), frame.size());
    EXPECT_FALSE(plain.Next(&body, &broken));
    EXPECT_TRUE(broken);
}

TEST(ProcessMessageWire, ReaderGivesUpOnAnAbsurdLength) {
    WireReader reader;
    const char giant[4] = {(char)0xFF, (char)0xFF, (char)0xFF, (char)0x7F};
    reader.Append(giant, 4);
    std::string body;
    bool broken = false;
    EXPECT_FALSE(reader.Next(&body, &broken));
    EXPECT_TRUE(broken);
}
