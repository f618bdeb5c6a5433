// Port initialiser launch: runs the initialiser program from the system directory, when it is
// installed, with the port name, and waits for it within a bound.
#include <string>

#include "control/varnel.h"

namespace varnel {

std::int32_t Varnel::vnPortInit16(const std::string& portName) {
    std::int32_t code = 0;
    WriteLog("begin vnPortInit16");
    const std::string dir = GetWindowsDir();
    if (dir.empty()) {
        code = 5;
        WriteLog("vnPortinit16: no path to windows");
    } else if (const std::string program = dir + kPortInitProgram; !system_.FindFile(program)) {
        code = 5;
        WriteLog("vnPortinit16: PORTIN16 app not in win dir");
    } else {
        WriteLog("Launching " + program + " " + portName);
        const auto process = system_.StartProcess(program, {portName});
        WriteLog("vnPortinit16: CreateProcess returned: " + std::to_string(process ? 1 : 0));
        if (!process) {
            code = 1;
            WriteLog("vnPortinit16: CreateProcess FAILED");
        } else {
            WriteLog("vnPortinit16: waiting for obj...");
            const std::int32_t wait = system_.WaitForProcess(*process, portInitTimeoutMs_);
            WriteLog("vnPortinit16: WaitForObj returned: " + std::to_string(wait));
            std::optional<std::int32_t> exitCode;
            if (wait != System::kWaitEnded) {
                // A failed wait, or one that ran past its bound.
                code = 2;
                WriteLog("vnPortinit16: WaitForObj FAILED");
            } else if (exitCode = system_.ProcessExitCode(*process); !exitCode) {
                code = 3;
            }
            const bool closed = system_.CloseProcess(*process);
            if (code == 0) {
                WriteLog("vnPortinit16: CloseHandle returned: " + std::to_string(closed ? 1 : 0));
                if (!closed) {
                    code = 4;
                    WriteLog("vnPortinit16: CloseHandle FAILED");
                } else {
                    WriteLog("vnPortinit16: Exit code: " + std::to_string(*exitCode));
                }
            }
        }
    }
    WriteLog("end vnPortInit16");
    return code;
}

}  // namespace varnel
