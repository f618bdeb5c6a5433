#include "platform/win32/win32_system.h"

#include "control/errors.h"

namespace varnel::win32 {

namespace {

// How long a stopped initialiser may take to go away.
constexpr DWORD kStopWaitMs = 5000;

bool HasWildcard(const std::string& path) {
    const std::size_t name = path.find_last_of("\\/:");
    return path.find_first_of("*?", name == std::string::npos ? 0 : name + 1) != std::string::npos;
}

// One argument, quoted when it holds blanks or quotes: backslashes are literal except before a
// quote, where they are doubled.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

[[noreturn]] void RaiseFileError(const std::string& path, const std::string& why) {
    throw AutomationError(err::kPermissionDenied, path + ": " + why);
}

}  // namespace

std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : "error " + std::to_string(error);
    if (text) ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
}

std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
    // The program's own name ends at the first blank unless quoted, and takes no escapes.
    std::string line = program.find_first_of(" \t") == std::string::npos || program.empty()
                           ? program
                           : "\"" + program + "\"";
    for (const auto& arg : args)
        line += " " + QuoteArgument(arg);
    return line;
}

Win32System::~Win32System() {
    for (auto& [id, child] : children_)
        Stop(child);
}

std::string Win32System::WindowsDirectory() {
    // Asked twice: once for the size, once for the text (and again should it have grown).
    UINT size = ::GetWindowsDirectoryA(nullptr, 0);
    for (int attempt = 0; attempt < 3 && size != 0; ++attempt) {
        std::string dir(size, '\0');
        const UINT n = ::GetWindowsDirectoryA(dir.data(), size);
        if (n == 0) break;
        if (n < size) {
            dir.resize(n);
            return dir;
        }
        size = n;
    }
    return {};
}

std::optional<std::string> Win32System::FindFile(const std::string& path) {
    if (path.empty() || HasWildcard(path)) return std::nullopt;
    WIN32_FIND_DATAA data{};
    const HANDLE find = ::FindFirstFileA(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return std::nullopt;
    ::FindClose(find);
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        return std::nullopt;
    }
    return std::string(data.cFileName);
}

std::optional<System::Process> Win32System::StartProcess(const std::string& program,
                                                         const std::vector<std::string>& args) {
    std::string line = CommandLine(program, args);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Started suspended, so that it is in its job before it can start anything itself, and with
    // none of the host's handles.
    if (!::CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                          NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                          &info)) {
        return std::nullopt;
    }
    Child child;
    child.process = info.hProcess;
    child.job = ::CreateJobObjectA(nullptr, nullptr);
    if (child.job && !::AssignProcessToJobObject(child.job, info.hProcess)) {
        ::CloseHandle(child.job);  // e.g. a host in a job that allows no nesting
        child.job = nullptr;
    }
    ::ResumeThread(info.hThread);
    ::CloseHandle(info.hThread);
    const Process id = next_++;
    children_[id] = child;
    return id;
}

std::int32_t Win32System::WaitForProcess(Process process, std::uint32_t timeoutMs) {
    auto it = children_.find(process);
    if (it == children_.end()) return kWaitFailed;
    // INFINITE is all bits set: a bound of that size is clipped to stay a bound.
    const DWORD bound = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    switch (::WaitForSingleObject(it->second.process, bound)) {
        case WAIT_OBJECT_0:
            return kWaitEnded;
        case WAIT_TIMEOUT:
            return kWaitTimedOut;
        default:
            return kWaitFailed;
    }
}

std::optional<std::int32_t> Win32System::ProcessExitCode(Process process) {
    auto it = children_.find(process);
    DWORD code = 0;
    if (it == children_.end() || !::GetExitCodeProcess(it->second.process, &code) ||
        code == STILL_ACTIVE) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(code);
}

void Win32System::Stop(Child& child) {
    if (::WaitForSingleObject(child.process, 0) == WAIT_TIMEOUT) {
        // Still running past its bound: end it and whatever it started.
        if (!child.job || !::TerminateJobObject(child.job, 1)) {
            ::TerminateProcess(child.process, 1);
        }
        ::WaitForSingleObject(child.process, kStopWaitMs);
    }
    if (child.job) ::CloseHandle(child.job);
    ::CloseHandle(child.process);
}

bool Win32System::CloseProcess(Process process) {
    auto it = children_.find(process);
    if (it == children_.end()) return false;
    Stop(it->second);
    children_.erase(it);
    return true;
}

void Win32System::AppendToFile(const std::string& path, std::string_view text) {
    // A link planted in the log's place is opened itself, not followed, and then refused.
    const HANDLE file =
        ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) RaiseFileError(path, ErrorText(::GetLastError()));
    struct Closer {
        HANDLE h;
        ~Closer() { ::CloseHandle(h); }
    } closer{file};
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        RaiseFileError(path, "not a regular file");
    }
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        const DWORD chunk =
            static_cast<DWORD>(text.size() - done > 0x10000000 ? 0x10000000 : text.size() - done);
        if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) {
            RaiseFileError(path, ErrorText(::GetLastError()));
        }
        done += written;
    }
}

}  // namespace varnel::win32
