// Stands in for the port initialiser in the runtime tests. Appends its process id and command
// line, one line, to the file that VARNEL_PORTIN_LOG names, and ends with exit code 3. With
// VARNEL_PORTIN_HANG set it instead starts a copy of itself (which logs too) and both wait far
// longer than any test: only being stopped ends them. With VARNEL_PORTIN_HANDLE set to a handle
// value it also logs which file that value holds in its own process ("handle N PATH", or "-").
#include <windows.h>

#include <cstdint>
#include <string>

namespace {

std::string Env(const char* name) {
    char value[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(value, n) : std::string();
}

void Log(const std::string& file, const std::string& line) {
    const HANDLE h =
        ::CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(h);
}

}  // namespace

int main() {
    const std::string self = ::GetCommandLineA();
    Log(Env("VARNEL_PORTIN_LOG"), std::to_string(::GetCurrentProcessId()) + " " + self + "\n");
    const std::string handle = Env("VARNEL_PORTIN_HANDLE");
    if (!handle.empty()) {
        char path[MAX_PATH] = {};
        const auto h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoull(handle)));
        const DWORD n = ::GetFinalPathNameByHandleA(h, path, MAX_PATH, 0);
        Log(Env("VARNEL_PORTIN_LOG"),
            "handle " + handle + " " + (n > 0 && n < MAX_PATH ? path : "-") + "\n");
    }
    if (Env("VARNEL_PORTIN_HANG").empty()) return 3;
    if (self.find(" child") == std::string::npos) {
        char path[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string line = std::string("\"") + path + "\" child";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (::CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info)) {
            ::CloseHandle(info.hThread);
            ::CloseHandle(info.hProcess);
        }
    }
    ::Sleep(120000);
    return 0;
}
