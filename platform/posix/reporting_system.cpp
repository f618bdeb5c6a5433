#include "platform/posix/reporting_system.h"

namespace varnel::posix {

namespace {

// vnPortInit16's codes for the steps that failed.
constexpr std::int32_t kCodeStart = 1;
constexpr std::int32_t kCodeWait = 2;
constexpr std::int32_t kCodeExitStatus = 3;
constexpr std::int32_t kCodeClose = 4;

}  // namespace

std::optional<System::Process> ReportingSystem::StartProcess(const std::string& program,
                                                             const std::vector<std::string>& args) {
    const auto process = system_.StartProcess(program, args);
    const std::string found = FindFileIgnoringCase(program);
    const std::string& path = found.empty() ? program : found;
    if (!process) {
        Report(path, kCodeStart, "cannot be started: " + system_.LastFailure());
    } else {
        programs_[*process] = path;
    }
    return process;
}

std::int32_t ReportingSystem::WaitForProcess(Process process, std::uint32_t timeoutMs) {
    const std::int32_t result = system_.WaitForProcess(process, timeoutMs);
    if (result != kWaitEnded) Report(programs_[process], kCodeWait, system_.LastFailure());
    return result;
}

std::optional<std::int32_t> ReportingSystem::ProcessExitCode(Process process) {
    const auto code = system_.ProcessExitCode(process);
    if (!code) Report(programs_[process], kCodeExitStatus, "its exit status cannot be read");
    return code;
}

bool ReportingSystem::CloseProcess(Process process) {
    const bool closed = system_.CloseProcess(process);
    if (!closed) Report(programs_[process], kCodeClose, "it cannot be released");
    programs_.erase(process);
    return closed;
}

void ReportingSystem::Report(const std::string& program, std::int32_t code,
                             const std::string& why) {
    if (!listener_) return;
    const OpenFailure failure{OpenFailure::Kind::Initialiser, program, code, program + ": " + why};
    listener_(&failure);
}

}  // namespace varnel::posix
