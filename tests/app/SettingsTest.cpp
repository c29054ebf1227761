// Settings-file reading and writing through the real profile functions.
#include <gtest/gtest.h>
#include "app/Settings.h"
#include "common/TestUtil.h"

using testutil::TempDir;

TEST(IniInteger, ReadsLikeTheCConversion) {
    struct Case {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"", 0},           {L"0", 0},          {L"12abc", 12},     {L"abc", 0},
        {L"  42", 42},      {L"\t-7x", -7},     {L"+5", 5},         {L"- 5", 0},
        {L"2147483647", 2147483647},            {L"2147483648", 2147483647},
        {L"-2147483648", -2147483647 - 1},      {L"-99999999999999999999", -2147483647 - 1},
        {L"99999999999999999999999", 2147483647}, {L"5 6", 5},
    };
    for (const Case& c : cases) EXPECT_EQ(c.value, ParseIniInt(c.text)) << "text: \"" << testing::PrintToString(std::wstring(c.text)) << "\"";
    EXPECT_EQ(0, ParseIniInt(nullptr));
}

TEST(IniFile, MissingFileSectionOrKeyReadsEmpty) {
    TempDir dir;
    std::wstring path = dir.file(L"Config.ini");
    EXPECT_EQ(L"", IniReadString(path.c_str(), L"Common", L"RunCount"));
    EXPECT_EQ(0, IniReadInt(path.c_str(), L"Common", L"RunCount"));
    testutil::WriteTextFile(path, "[Other]\r\nRunCount=9\r\n");
    EXPECT_EQ(0, IniReadInt(path.c_str(), L"Common", L"RunCount"));
}

TEST(IniFile, NamesMatchWithoutCaseAndLongValuesAreCut) {
    TempDir dir;
    std::wstring path = dir.file(L"Config.ini");
    std::string longValue(100, 'x');
    testutil::WriteTextFile(path, "[common]\r\nrUnCoUnT=12abc\r\n[INSTALL]\r\ninstalltime=" + longValue + "\r\n");
    EXPECT_EQ(12, IniReadInt(path.c_str(), L"Common", L"RunCount"));
    std::wstring cut = IniReadString(path.c_str(), L"Install", L"InstallTime");
    EXPECT_EQ(63u, cut.size());
    EXPECT_EQ(std::wstring(63, L'x'), cut);
}

TEST(IniFile, WritesCreateFileSectionAndKeyAndReplaceValues) {
    TempDir dir;
    std::wstring path = dir.file(L"Config.ini");
    IniWriteInt(path.c_str(), L"Common", L"RunCount", 13);
    EXPECT_EQ(L"13", IniReadString(path.c_str(), L"Common", L"RunCount"));
    IniWriteString(path.c_str(), L"common", L"runcount", L"14");
    EXPECT_EQ(L"14", IniReadString(path.c_str(), L"Common", L"RunCount"));
    // A Chinese name survives the round trip through a file the program created.
    IniWriteString(path.c_str(), L"Common", L"user_name", L"\x73a9\x5bb6 name");
    EXPECT_EQ(L"\x73a9\x5bb6 name", IniReadString(path.c_str(), L"Common", L"user_name"));
    std::string text = testutil::ReadTextAsUtf8(path);
    EXPECT_NE(std::string::npos, text.find("[Common]")) << text;
    EXPECT_NE(std::string::npos, text.find("user_name=\xe7\x8e\xa9\xe5\xae\xb6 name")) << text;
}

TEST(IniFile, AnExistingEightBitFileKeepsItsEncoding) {
    TempDir dir;
    std::wstring path = dir.file(L"Config.ini");
    testutil::WriteTextFile(path, "[Install]\r\nInstallTime=20181024\r\n");
    IniWriteInt(path.c_str(), L"Common", L"RunCount", 1);
    std::string raw = testutil::ReadTextFile(path);
    ASSERT_GE(raw.size(), 2u);
    EXPECT_NE('\xFF', raw[0]) << "an installer's file must not be re-encoded";
    EXPECT_EQ(L"20181024", IniReadString(path.c_str(), L"Install", L"InstallTime"));
    EXPECT_EQ(1, IniReadInt(path.c_str(), L"Common", L"RunCount"));
}

namespace {
// Settings as an installer may leave them, with a section and a comment of someone else's.
const std::wstring kSettings =
    L"[Common]\r\nUID=42\r\nuser_name=\x5f20\x4e09\r\n; note\r\n[Install]\r\nInstallTime=20181024\r\n"
    L"[Foreign]\r\nkey=value\r\n";

std::string Utf16Bytes(const std::wstring& text, bool bigEndian, bool mark) {
    std::string out;
    if (mark) out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text) {
        char lo = (char)(c & 0xFF), hi = (char)(c >> 8);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

std::string Utf8Bytes(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

// What the fault test of the whole run writes: bytes that are no text at all.
const std::string kGarbled("\x00\xff[Comm\x01on]\nRunCount==\xfe\xfe\n[[[\n\x13\x00\x9a\x00\x00\x41\xd8", 34);
}  // namespace

TEST(SettingsFile, OnlyFilesTheProfileFunctionsKeepWholeAreUsedAsTheyAre) {
    using Kind = SettingsFilePlan::Kind;
    struct Case {
        const char* what;
        std::string bytes;
        UINT codePage;
        Kind kind;
    } cases[] = {
        {"UTF-16 with its mark", Utf16Bytes(kSettings, false, true), CP_ACP, SettingsFilePlan::kUse},
        {"plain ASCII", "[Common]\r\nRunCount=3\r\n", CP_ACP, SettingsFilePlan::kUse},
        {"GBK text on a GBK system", "[Common]\r\nuser_name=\xd5\xc5\xc8\xfd\r\n", 936, SettingsFilePlan::kUse},
        {"empty", "", CP_ACP, SettingsFilePlan::kUse},
        {"zeros only", std::string(64, '\0'), CP_ACP, SettingsFilePlan::kUse},
        {"ASCII and zeros after it", std::string("[Common]\r\nUID=7\r\n") + std::string(5, '\0'), CP_ACP,
         SettingsFilePlan::kUse},
        {"UTF-16 without mark", Utf16Bytes(kSettings, false, false), CP_ACP, SettingsFilePlan::kRewrite},
        {"UTF-16 without mark, zeros after it", Utf16Bytes(kSettings, false, false) + std::string(7, '\0'), CP_ACP,
         SettingsFilePlan::kRewrite},
        {"big-endian UTF-16 without mark", Utf16Bytes(kSettings, true, false), CP_ACP, SettingsFilePlan::kRewrite},
        {"big-endian UTF-16 with its mark", Utf16Bytes(kSettings, true, true), CP_ACP, SettingsFilePlan::kRewrite},
        {"UTF-8 with its mark", "\xEF\xBB\xBF" + Utf8Bytes(kSettings), CP_ACP, SettingsFilePlan::kRewrite},
        {"UTF-8 on an ASCII system", Utf8Bytes(kSettings), 20127, SettingsFilePlan::kRewrite},
        {"no text at all", kGarbled, CP_ACP, SettingsFilePlan::kKeepWhole},
        {"UTF-16 with a zero inside", Utf16Bytes(L"[Common]\r\nA=1\r\n", false, true) + std::string(2, '\0') +
                                          Utf16Bytes(L"[Foreign]\r\nB=2\r\n", false, false),
         CP_ACP, SettingsFilePlan::kKeepWhole},
        {"UTF-16 with half a pair", Utf16Bytes(L"[Common]\r\nA=\xD800\r\n", false, false), CP_ACP,
         SettingsFilePlan::kKeepWhole},
        // Neither the code page's text nor UTF-8: still used, so that the run's own keys advance.
        {"broken UTF-8 on an ASCII system", "[Common]\r\nA=\xE5\xBC\r\n", 20127, SettingsFilePlan::kUse},
        {"bytes GBK has no character for", "[Common]\r\nRunCount=4\r\nA=\x80\xFF\r\n", 936, SettingsFilePlan::kUse},
    };
    for (const Case& c : cases) {
        SettingsFilePlan plan = PlanSettingsFile(c.bytes, c.codePage);
        EXPECT_EQ(c.kind, plan.kind) << c.what;
        // A rewrite carries the file's own text, every character of it.
        if (plan.kind == SettingsFilePlan::kRewrite) {
            EXPECT_EQ(kSettings, plan.text) << c.what;
        }
    }
}

TEST(SettingsFile, AUtf16FileWithoutMarkIsReadAndKeepsEveryKeyAndSection) {
    TempDir dir;
    std::wstring path = dir.file(L"Config.ini");
    testutil::WriteTextFile(path, Utf16Bytes(kSettings, false, false));
    EXPECT_EQ(42, IniReadInt(path.c_str(), L"Common", L"UID"));
    EXPECT_EQ(L"20181024", IniReadString(path.c_str(), L"Install", L"InstallTime"));
    IniWriteInt(path.c_str(), L"Common", L"RunCount", 1);
    IniWriteString(path.c_str(), L"Common", L"user_name", L"\x674e\x56db");
    EXPECT_EQ(L"value", IniReadString(path.c_str(), L"Foreign", L"key"));
    std::string text = testutil::ReadTextAsUtf8(path);
    for (const char* line : {"[Common]", "UID=42", "RunCount=1", "user_name=\xe6\x9d\x8e\xe5\x9b\x9b", "; note",
                             "[Install]", "InstallTime=20181024", "[Foreign]", "key=value"})
        EXPECT_NE(std::string::npos, text.find(line)) << line << " is gone from:\n" << text;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((path + L".new").c_str())) << "a temporary file stayed";
}

TEST(SettingsFile, AFileWhoseTextCannotBeToldIsLeftWhole) {
    TempDir dir;
    std::wstring path = dir.file(L"Config.ini");
    testutil::WriteTextFile(path, kGarbled);
    IniReadInt(path.c_str(), L"Common", L"RunCount");
    IniWriteInt(path.c_str(), L"Common", L"RunCount", 1);
    IniWriteString(path.c_str(), L"Common", L"user_name", L"x");
    EXPECT_EQ(kGarbled, testutil::ReadTextFile(path));
}
