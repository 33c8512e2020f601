// Starts a launcher the way a shell or Explorer would, under the test's
// control, and records its full 32-bit exit code (Wine's own exit status
// keeps only the low byte). Reads a UTF-8 case file of key=value lines:
//   cmdline  the launcher's command line, verbatim
//   cwd      the current directory it starts in (the runner's own too, so
//            that relative paths and bare names resolve as from a shell there)
//   path     a folder put in front of PATH (to start it by bare name)
//   stdout, stderr  files that become its standard output and error
//   handles  "none" to start it without standard handles
//   window   "none" to start it with CREATE_NO_WINDOW, as the launcher does
//   result   file that receives "exit=<code>" or "error=<code>"
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

std::wstring wide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    return w;
}

std::map<std::string, std::wstring> read_case(const wchar_t* file) {
    std::map<std::string, std::wstring> values;
    FILE* f = _wfopen(file, L"rb");
    if (!f) return values;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    fclose(f);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = wide(line.substr(eq + 1));
        start = end + 1;
    }
    return values;
}

HANDLE open_output(const std::wstring& name) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void write_result(const std::wstring& name, const std::string& text) {
    if (FILE* f = _wfopen(name.c_str(), L"wb")) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    auto c = read_case(argv[1]);
    if (c.count("path")) {
        wchar_t old[32768];
        DWORD n = GetEnvironmentVariableW(L"PATH", old, 32768);
        SetEnvironmentVariableW(L"PATH", (c["path"] + L";" + std::wstring(old, n)).c_str());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (c["handles"] != L"none") {
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = open_output(c["stdout"]);
        startup.hStdError = open_output(c["stderr"]);
        if (startup.hStdOutput == INVALID_HANDLE_VALUE || startup.hStdError == INVALID_HANDLE_VALUE) return 3;
    }
    PROCESS_INFORMATION process{};
    std::wstring command = c["cmdline"];
    DWORD flags = c["window"] == L"none" ? CREATE_NO_WINDOW : 0;
    if (c.count("cwd") && !SetCurrentDirectoryW(c["cwd"].c_str())) return 5;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &process)) {
        write_result(c["result"], "error=" + std::to_string(GetLastError()) + "\n");
        return 4;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    write_result(c["result"], "exit=" + std::to_string(code) + "\n");
    return 0;
}
