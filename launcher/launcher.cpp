// Application launcher: starts "python.exe" from the launcher's own folder on
// one application's entry module, without a console window, waits for it and
// hands its exit code back. Built once per application; LAUNCHER_APP names it.
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#ifndef LAUNCHER_APP
#error "LAUNCHER_APP must name the application (e.g. Brenvik)"
#endif
#define LAUNCHER_WIDEN2(s) L##s
#define LAUNCHER_WIDEN(s) LAUNCHER_WIDEN2(s)
#define LAUNCHER_STR2(s) #s
#define LAUNCHER_STR(s) LAUNCHER_STR2(s)

namespace fs = std::filesystem;

namespace {

// Follows the quoted interpreter path, so it opens with the closing quote.
constexpr const wchar_t* module_text = L"\" -m Apps." LAUNCHER_WIDEN(LAUNCHER_STR(LAUNCHER_APP)) L".main";
constexpr const wchar_t* interpreter_name = L"python.exe";
constexpr const char* create_failed = "Failed to create process. Error: ";
constexpr const char* exit_code_failed = "Failed to get exit code. Error: ";
constexpr const char* folder_failed = "Failed to find the application folder. Error: ";

// The error code is taken by the caller before the stream is touched: a
// stream write may itself change the thread's last error.
int fail(const char* message, unsigned long code) {
    std::cerr << message << code << std::endl;
    return 1;
}

// The program's own file, for when the first token names nothing that
// exists (started by bare name through the search path, or a path that has
// gone stale since).
bool module_path(fs::path& out) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return false;
        if (n < buffer.size()) { buffer.resize(n); out = buffer; return true; }
        if (buffer.size() >= 32768) return false;  // longer than any Windows path
        buffer.resize(buffer.size() * 2);
    }
}

struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() { CloseHandle(handle); }
};

// The file's path as the file system names it once every symbolic link and
// junction on the way is followed. The library's canonical form leaves
// Windows links alone, and a launcher started through a link belongs to the
// folder of its target, not to that of the link.
bool final_path(const fs::path& file, fs::path& out) {
    HANDLE handle = CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    HandleCloser closer{handle};
    std::wstring buffer(MAX_PATH, L'\0');
    // A buffer too small yields the size needed, terminator included; the
    // path could change between calls, hence a bounded number of tries.
    for (int attempt = 0;; ++attempt) {
        DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return false;
        if (n < buffer.size()) { buffer.resize(n); break; }
        if (attempt == 2) return false;
        buffer.resize(n);
    }
    // Drop the long-path prefix: "\\?\C:\..." becomes "C:\...", and
    // "\\?\UNC\server\share\..." becomes "\\server\share\...".
    if (buffer.compare(0, 8, L"\\\\?\\UNC\\") == 0) buffer.erase(2, 6);
    else if (buffer.compare(0, 4, L"\\\\?\\") == 0) buffer.erase(0, 4);
    if (buffer.empty()) return false;
    out = buffer;
    return true;
}

// Application folder: parent of the launcher's final path. The first token
// is the path as the caller wrote it; the module path backs it up. Should
// the file system not name the final path, the canonical form stands in.
bool application_folder(const wchar_t* first_token, fs::path& folder, unsigned long& error) {
    std::error_code ec;
    fs::path self = fs::canonical(fs::path(first_token), ec);
    if (ec || !fs::is_regular_file(self, ec) || ec) {
        fs::path module;
        if (!module_path(module)) { error = GetLastError(); return false; }
        self = fs::canonical(module, ec);
        if (ec) { error = static_cast<unsigned long>(ec.value()); return false; }
    }
    fs::path resolved;
    if (final_path(self, resolved)) self = resolved;
    folder = self.parent_path();
    return true;
}

int launch() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return 1;
    fs::path folder;
    unsigned long error = 0;
    bool found = application_folder(argc > 0 ? argv[0] : L"", folder, error);
    LocalFree(argv);
    if (!found) return fail(folder_failed, error);

    fs::path interpreter = folder / interpreter_name;
    interpreter.make_preferred();
    std::wstring command = L"\"" + interpreter.native() + module_text;
    std::wstring directory = folder.native();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, directory.c_str(), &startup, &process))
        return fail(create_failed, GetLastError());

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    BOOL read = GetExitCodeProcess(process.hProcess, &exit_code);
    DWORD read_error = GetLastError();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (!read) return fail(exit_code_failed, read_error);
    // The process exit code is a 32-bit unsigned value; the int round-trips it.
    return static_cast<int>(exit_code);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Nothing may escape the entry point, not even an allocation failure.
    try {
        return launch();
    } catch (...) {
        std::cerr << "Launcher failed: out of memory or an internal error." << std::endl;
        return 1;
    }
}
