// System services with scripted results: a directory of named files, one scripted process run,
// and appended files kept in memory.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control/errors.h"
#include "control/system.h"

namespace varnel::testing {

class ScriptedSystem : public System {
  public:
    std::string windowsDir = "C:\\WINDOWS";
    char separator = '\\';
    // Path as asked for -> name as the directory spells it.
    std::map<std::string, std::string> files;
    bool failLookup = false;

    // The scripted process run.
    bool startOk = true;
    std::int32_t waitResult = kWaitEnded;
    std::optional<std::int32_t> exitCode = 0;
    bool closeOk = true;

    struct Launch {
        std::string program;
        std::vector<std::string> args;
        std::uint32_t timeoutMs = 0;
        bool closed = false;
    };
    std::vector<Launch> launches;
    int open = 0;  // processes started and not yet closed

    std::map<std::string, std::string> written;
    bool failAppend = false;

    void AddFile(const std::string& path, std::string name = {}) {
        if (name.empty()) name = path.substr(path.find_last_of("\\/") + 1);
        files[path] = name;
    }
    void RemoveFile(const std::string& path) { files.erase(path); }

    // The lines of an appended file, each of which must end with CR LF.
    std::vector<std::string> Lines(const std::string& path) const {
        std::vector<std::string> out;
        auto it = written.find(path);
        if (it == written.end()) return out;
        const std::string& text = it->second;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find("\r\n", start);
            if (end == std::string::npos) {
                out.push_back("<unterminated>" + text.substr(start));
                break;
            }
            out.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return out;
    }

    std::string WindowsDirectory() override { return windowsDir; }
    char PathSeparator() const override { return separator; }
    std::optional<std::string> FindFile(const std::string& path) override {
        if (failLookup) throw AutomationError(52, "Bad file name or number");
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    }
    std::optional<Process> StartProcess(const std::string& program,
                                        const std::vector<std::string>& args) override {
        if (!startOk) return std::nullopt;
        launches.push_back(Launch{program, args, 0, false});
        ++open;
        return static_cast<Process>(launches.size());
    }
    std::int32_t WaitForProcess(Process p, std::uint32_t timeoutMs) override {
        launches.at(static_cast<std::size_t>(p - 1)).timeoutMs = timeoutMs;
        return waitResult;
    }
    std::optional<std::int32_t> ProcessExitCode(Process) override { return exitCode; }
    bool CloseProcess(Process p) override {
        Launch& l = launches.at(static_cast<std::size_t>(p - 1));
        if (!l.closed) --open;
        l.closed = true;
        return closeOk;
    }
    void AppendToFile(const std::string& path, std::string_view text) override {
        if (failAppend) throw AutomationError(70, "Permission denied");
        written[path].append(text);
    }
};

}  // namespace varnel::testing
