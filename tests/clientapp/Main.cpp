// The sub-process tests start this executable as an engine sub-process; that
// mode runs before the test framework.
#include <windows.h>
#include <string>
#include "browser/ClientApp.h"
#include "common/TestEntry.h"
#include "common/TestUtil.h"

namespace {

// The program's application object, recording the command line it was given
// once its own switches are in.
class RecordingApp : public ClientApp {
public:
    explicit RecordingApp(const std::wstring& file) : file_(file) {}
    void OnBeforeCommandLineProcessing(const CefString& process_type,
                                       CefRefPtr<CefCommandLine> command_line) override {
        ClientApp::OnBeforeCommandLineProcessing(process_type, command_line);
        testutil::WriteTextFile(file_, testutil::Utf8(process_type.ToWString()) + "\n" +
                                           testutil::Utf8(command_line->GetCommandLineString().ToWString()) + "\n");
    }

private:
    std::wstring file_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // --probe-file=FILE together with an engine --type: run as that sub-process.
    CefRefPtr<CefCommandLine> line = CefCommandLine::GetGlobalCommandLine();
    std::wstring probe = line->GetSwitchValue("probe-file").ToWString();
    if (!probe.empty() && line->HasSwitch("type")) {
        CefRefPtr<ClientApp> app = new RecordingApp(probe);
        int code = CefExecuteProcess(CefMainArgs(GetModuleHandleW(nullptr)), app.get(), nullptr);
        return 40 + code;
    }
    return testutil::RunAllTests(argc, argv);
}
