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
