// System services on Windows: the Windows directory, file lookup by name, the port initialiser's
// process (started in a job object, so that ending it on a timeout ends what it started too, and
// inheriting none of the host's handles), and log lines appended to regular disk files only.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "control/system.h"

namespace varnel::win32 {

class Win32System : public System {
  public:
    Win32System() = default;
    ~Win32System() override;
    Win32System(const Win32System&) = delete;
    Win32System& operator=(const Win32System&) = delete;

    std::string WindowsDirectory() override;
    char PathSeparator() const override { return '\\'; }
    std::optional<std::string> FindFile(const std::string& path) override;
    std::optional<Process> StartProcess(const std::string& program,
                                        const std::vector<std::string>& args) override;
    std::int32_t WaitForProcess(Process process, std::uint32_t timeoutMs) override;
    std::optional<std::int32_t> ProcessExitCode(Process process) override;
    bool CloseProcess(Process process) override;
    void AppendToFile(const std::string& path, std::string_view text) override;

    // Processes started and not yet closed.
    std::size_t OpenProcesses() const { return children_.size(); }

  private:
    struct Child {
        HANDLE process = nullptr;
        HANDLE job = nullptr;  // null when the process could not be put in one
    };
    static void Stop(Child& child);

    std::map<Process, Child> children_;
    Process next_ = 1;
};

// The command line that starts program with args, quoted so that the program's runtime splits it
// back into the same arguments: "C:\WINDOWS\PORTIN16.EXE COM1".
std::string CommandLine(const std::string& program, const std::vector<std::string>& args);

// The system's text for an error code, without the line break that ends it.
std::string ErrorText(DWORD error);

}  // namespace varnel::win32
