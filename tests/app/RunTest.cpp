// Whole runs of the real executable: settings written in order, sub-process
// runs that touch nothing, a second instance, pending cache clearing.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <string>
#include "app/CacheCleaner.h"
#include "common/TestUtil.h"

using namespace testutil;

namespace {

const DWORD kStartMs = 60000;
const DWORD kExitMs = 60000;

// A copy of the product in its own folder, so each run has its own Config.ini.
class Product {
public:
    Product() { copied_ = CopyProductTo(dir_.path(), &exe_); }
    bool ok() const { return copied_; }
    std::wstring ini() const { return dir_.file(L"Config.ini"); }
    const std::wstring& exe() const { return exe_; }
    const std::wstring& dir() const { return dir_.path(); }

private:
    TempDir dir_;
    std::wstring exe_;
    bool copied_ = false;
};

// Starts a run and waits until its frame window shows.
HWND StartRun(Child& child, const Product& product) {
    if (!child.Start(product.exe(), L"", product.dir())) return nullptr;
    return WaitForWindow(child.pid(), L"velmarcorve", kStartMs);
}

// Closes the frame the way any other close does and waits for a clean exit.
::testing::AssertionResult CloseRun(Child& child, HWND frame) {
    PostMessageW(frame, WM_CLOSE, 0, 0);
    DWORD code = 12345;
    if (!child.Wait(kExitMs, &code)) return ::testing::AssertionFailure() << "the run did not end after WM_CLOSE";
    if (code != 0) return ::testing::AssertionFailure() << "exit code " << code;
    return ::testing::AssertionSuccess();
}

std::wstring CacheFolder() {
    wchar_t buf[MAX_PATH] = {0};
    SHGetSpecialFolderPathW(nullptr, buf, CSIDL_LOCAL_APPDATA, FALSE);
    return std::wstring(buf) + L"\\vorn";
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

}  // namespace

TEST(Run, FirstRunWithoutSettingsFileWritesTheKeysInOrder) {
    Product p;
    ASSERT_TRUE(p.ok()) << "cannot copy " << Narrow(ProductExe());
    Child child;
    HWND frame = StartRun(child, p);
    ASSERT_TRUE(frame) << "no frame window appeared";
    // At start: ClearCache (first instance), Version, RunCount are written before the frame shows.
    EXPECT_EQ(L"0", ReadIni(p.ini(), L"Common", L"ClearCache"));
    EXPECT_EQ(L"1.15", ReadIni(p.ini(), L"GameInfo", L"Version"));
    EXPECT_EQ(L"1", ReadIni(p.ini(), L"Common", L"RunCount"));
    EXPECT_EQ(L"<missing>", ReadIni(p.ini(), L"Common", L"user_name")) << "user_name is written at exit only";
    ASSERT_TRUE(CloseRun(child, frame));

    EXPECT_EQ(L"", ReadIni(p.ini(), L"Common", L"user_name"));
    // Left the login screen never: no exit time.
    EXPECT_EQ(L"<missing>", ReadIni(p.ini(), L"Extension", L"out_time"));
    EXPECT_EQ(L"<missing>", ReadIni(p.ini(), L"Extension", L"Counts"));
    // The profile functions append keys in the order of their first write.
    std::string text = ReadTextAsUtf8(p.ini());
    size_t common = text.find("[Common]"), clear = text.find("ClearCache=0"), version = text.find("[GameInfo]"),
           run = text.find("RunCount=1"), user = text.find("user_name=");
    ASSERT_NE(std::string::npos, common) << text;
    EXPECT_LT(clear, run) << text;
    EXPECT_LT(run, user) << text;
    EXPECT_LT(common, version) << "ClearCache is written before Version:\n" << text;
}

TEST(Run, RunCountIsReadAsAnIntegerAndIncremented) {
    struct Case {
        const char* stored;
        const wchar_t* after;
    } cases[] = {{"12abc", L"13"}, {"abc", L"1"}, {"  5", L"6"}, {"2147483647", L"2147483647"}};
    for (const Case& c : cases) {
        Product p;
        ASSERT_TRUE(p.ok());
        WriteTextFile(p.ini(), std::string("[Common]\r\nRunCount=") + c.stored + "\r\n");
        Child child;
        HWND frame = StartRun(child, p);
        ASSERT_TRUE(frame) << "stored " << c.stored;
        ASSERT_TRUE(CloseRun(child, frame)) << "stored " << c.stored;
        EXPECT_EQ(c.after, ReadIni(p.ini(), L"Common", L"RunCount")) << "stored " << c.stored;
    }
}

TEST(Run, SubProcessTypesExitZeroWithoutTouchingSettingsOrWindows) {
    const wchar_t* types[] = {L"--type=gpu-process", L"--type=utility", L"--type=renderer"};
    for (const wchar_t* type : types) {
        Product p;
        ASSERT_TRUE(p.ok());
        Child child;
        ASSERT_TRUE(child.Start(p.exe(), type, p.dir()));
        DWORD code = 99;
        ASSERT_TRUE(child.Wait(30000, &code)) << Narrow(type) << " did not exit";
        EXPECT_EQ(0u, code) << Narrow(type);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(p.ini().c_str()))
            << Narrow(type) << " created Config.ini";
    }
}

TEST(Run, SecondInstanceRunsFullyButLeavesPendingCacheClearingAlone) {
    std::wstring cache = CacheFolder();
    Product p;
    ASSERT_TRUE(p.ok());

    Child first;
    HWND firstFrame = StartRun(first, p);
    ASSERT_TRUE(firstFrame);

    // While the first runs: a clearing request and something in the cache.
    CreateDirectoryW(cache.c_str(), nullptr);
    std::wstring marker = cache + L"\\vm-second-instance-marker.txt";
    WriteTextFile(marker, "keep me");
    WritePrivateProfileStringW(L"Common", L"ClearCache", L"1", p.ini().c_str());

    Child second;
    HWND secondFrame = StartRun(second, p);
    ASSERT_TRUE(secondFrame) << "the second instance must show its own window";
    EXPECT_NE(firstFrame, secondFrame);
    EXPECT_EQ(L"2", ReadIni(p.ini(), L"Common", L"RunCount")) << "both runs count";
    EXPECT_EQ(L"1", ReadIni(p.ini(), L"Common", L"ClearCache")) << "the second instance must not reset the request";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str())) << "the second instance cleared the cache";

    ASSERT_TRUE(CloseRun(second, secondFrame));
    ASSERT_TRUE(CloseRun(first, firstFrame));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str()));

    // Now alone: the request is carried out before the engine starts, then reset.
    Child third;
    HWND thirdFrame = StartRun(third, p);
    ASSERT_TRUE(thirdFrame);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str())) << "the lone instance must clear the cache";
    EXPECT_EQ(L"0", ReadIni(p.ini(), L"Common", L"ClearCache"));
    ASSERT_TRUE(CloseRun(third, thirdFrame));
    EXPECT_EQ(L"3", ReadIni(p.ini(), L"Common", L"RunCount"));
}
