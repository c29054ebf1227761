#include "include/cef_command_line.h"
#include "src/api/cef_context.h"

#include <windows.h>
#include <shellapi.h>
#include <algorithm>
#include <mutex>

namespace {

std::wstring Lower(std::wstring s) {
    std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return (wchar_t)towlower(c); });
    return s;
}

// Switch prefixes recognised on Windows; a name passed with one keeps only the bare name.
size_t PrefixLength(const std::wstring& s) {
    if (s.compare(0, 2, L"--") == 0) return 2;
    if (!s.empty() && (s[0] == L'-' || s[0] == L'/')) return 1;
    return 0;
}

}  // namespace

namespace cef_internal {

std::wstring QuoteCommandLineArg(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

}  // namespace cef_internal

namespace {

using cef_internal::QuoteCommandLineArg;

class CommandLineImpl : public CefCommandLine {
public:
    bool IsValid() override { return true; }
    bool IsReadOnly() override { return false; }
    CefRefPtr<CefCommandLine> Copy() override {
        CommandLineImpl* c = new CommandLineImpl();
        std::lock_guard<std::mutex> lock(mutex_);
        c->program_ = program_;
        c->switches_ = switches_;
        c->arguments_ = arguments_;
        c->wrappers_ = wrappers_;
        return c;
    }
    void InitFromArgv(int argc, const char* const* argv) override {
        Reset();
        for (int i = 0; i < argc; ++i) {
            CefString arg(argv[i] ? argv[i] : "");
            if (i == 0) SetProgram(arg);
            else AddParsed(arg.ToWString());
        }
    }
    void InitFromString(const CefString& command_line) override {
        Reset();
        std::wstring text = command_line.ToWString();
        if (text.empty()) return;
        int argc = 0;
        LPWSTR* argv = CommandLineToArgvW(text.c_str(), &argc);
        if (!argv) return;
        for (int i = 0; i < argc; ++i) {
            if (i == 0) SetProgram(argv[i]);
            else AddParsed(argv[i]);
        }
        LocalFree(argv);
    }
    void Reset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        program_.clear();
        switches_.clear();
        arguments_.clear();
        wrappers_.clear();
        endOfSwitches_ = false;
    }
    void GetArgv(std::vector<CefString>& argv) override {
        argv.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& w : wrappers_) argv.push_back(w);
        argv.push_back(program_);
        for (auto& s : switches_) argv.push_back(SwitchText(s));
        for (auto& a : arguments_) argv.push_back(a);
    }
    CefString GetCommandLineString() override {
        std::vector<CefString> argv;
        GetArgv(argv);
        std::wstring out;
        for (size_t i = 0; i < argv.size(); ++i) {
            if (i) out += L' ';
            out += QuoteCommandLineArg(argv[i].ToWString());
        }
        return out;
    }
    CefString GetProgram() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return program_;
    }
    void SetProgram(const CefString& program) override {
        std::lock_guard<std::mutex> lock(mutex_);
        program_ = program.ToWString();
    }
    bool HasSwitches() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !switches_.empty();
    }
    bool HasSwitch(const CefString& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return Find(Normalise(name.ToWString())) != switches_.end();
    }
    CefString GetSwitchValue(const CefString& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = Find(Normalise(name.ToWString()));
        return it == switches_.end() ? CefString() : CefString(it->second);
    }
    void GetSwitches(SwitchMap& switches) override {
        switches.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& s : switches_) switches[s.first] = s.second;
    }
    void AppendSwitch(const CefString& name) override { AppendSwitchWithValue(name, CefString()); }
    void AppendSwitchWithValue(const CefString& name, const CefString& value) override {
        std::wstring key = Normalise(name.ToWString());
        if (key.empty()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = Find(key);
        if (it != switches_.end()) it->second = value.ToWString();
        else switches_.emplace_back(key, value.ToWString());
    }
    bool HasArguments() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !arguments_.empty();
    }
    void GetArguments(ArgumentList& arguments) override {
        arguments.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& a : arguments_) arguments.push_back(a);
    }
    void AppendArgument(const CefString& argument) override {
        std::lock_guard<std::mutex> lock(mutex_);
        arguments_.push_back(argument.ToWString());
    }
    void PrependWrapper(const CefString& wrapper) override {
        std::lock_guard<std::mutex> lock(mutex_);
        wrappers_.insert(wrappers_.begin(), wrapper.ToWString());
    }

private:
    typedef std::vector<std::pair<std::wstring, std::wstring>> Switches;

    static std::wstring Normalise(const std::wstring& name) { return Lower(name.substr(PrefixLength(name))); }

    static std::wstring SwitchText(const std::pair<std::wstring, std::wstring>& s) {
        return s.second.empty() ? L"--" + s.first : L"--" + s.first + L"=" + s.second;
    }

    Switches::iterator Find(const std::wstring& key) {
        return std::find_if(switches_.begin(), switches_.end(),
                            [&](const std::pair<std::wstring, std::wstring>& s) { return s.first == key; });
    }

    void AddParsed(const std::wstring& arg) {
        size_t prefix = endOfSwitches_ ? 0 : PrefixLength(arg);
        if (!endOfSwitches_ && arg == L"--") {
            endOfSwitches_ = true;
            return;
        }
        if (prefix == 0 || arg.size() == prefix) {
            AppendArgument(arg);
            return;
        }
        std::wstring body = arg.substr(prefix);
        size_t eq = body.find(L'=');
        if (eq == std::wstring::npos) AppendSwitch(body);
        else AppendSwitchWithValue(body.substr(0, eq), body.substr(eq + 1));
    }

    std::mutex mutex_;
    std::wstring program_;
    Switches switches_;
    std::vector<std::wstring> arguments_;
    std::vector<std::wstring> wrappers_;
    bool endOfSwitches_ = false;
    IMPLEMENT_REFCOUNTING(CommandLineImpl);
};

}  // namespace

CefRefPtr<CefCommandLine> CefCommandLine::CreateCommandLine() { return new CommandLineImpl(); }

CefRefPtr<CefCommandLine> CefCommandLine::GetGlobalCommandLine() {
    static CefRefPtr<CefCommandLine> global = [] {
        CefRefPtr<CefCommandLine> cl = CreateCommandLine();
        cl->InitFromString(GetCommandLineW());
        return cl;
    }();
    return global;
}
