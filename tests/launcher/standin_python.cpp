// Stand-in for the interpreter in the launcher tests: records how it was
// started (command line, current directory, its own path, which standard
// handles work) in report.txt beside itself, then exits with the code given
// in exit_code.txt beside itself (0 when there is none).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

// "null", or whether a write of `line` through the handle succeeded.
const char* probe(DWORD which, const char* line) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return "null";
    if (!line) return "valid";
    DWORD written = 0;
    DWORD length = static_cast<DWORD>(std::char_traits<char>::length(line));
    return WriteFile(h, line, length, &written, nullptr) && written == length ? "ok" : "fail";
}

}  // namespace

int wmain() {
    wchar_t module[32768];
    DWORD n = GetModuleFileNameW(nullptr, module, 32768);
    std::wstring self(module, n);
    std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
    wchar_t cwd[32768];
    DWORD m = GetCurrentDirectoryW(32768, cwd);

    std::string report = "cmdline=" + utf8(GetCommandLineW()) + "\n";
    report += "cwd=" + utf8(std::wstring(cwd, m)) + "\n";
    report += "module=" + utf8(self) + "\n";
    report += std::string("stdin=") + probe(STD_INPUT_HANDLE, nullptr) + "\n";
    report += std::string("stdout=") + probe(STD_OUTPUT_HANDLE, "stand-in stdout\n") + "\n";
    report += std::string("stderr=") + probe(STD_ERROR_HANDLE, "stand-in stderr\n") + "\n";
    if (FILE* f = _wfopen((folder + L"report.txt").c_str(), L"wb")) {
        fwrite(report.data(), 1, report.size(), f);
        fclose(f);
    }

    unsigned long code = 0;
    if (FILE* f = _wfopen((folder + L"exit_code.txt").c_str(), L"rb")) {
        char text[32] = {};
        fread(text, 1, sizeof text - 1, f);
        fclose(f);
        code = std::strtoul(text, nullptr, 10);
    }
    ExitProcess(static_cast<UINT>(code));
}
