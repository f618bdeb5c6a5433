// Helpers for programs that drive the Win32 runtime on the COM ports that run_on_com_ports.sh
// joins: the port numbers, the scale's side of the cable, and a message pump.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace varnel::testing {

// A port number from the environment, 0 when it is not set.
inline int PortFromEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : 0;
}

// The scale's end of the cable: written with plain, blocking writes.
class ScaleLine {
  public:
    ScaleLine() = default;
    explicit ScaleLine(int port) {
        const std::string name = "\\\\.\\COM" + std::to_string(port);
        handle_ = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("cannot open " + name + ", error " +
                                     std::to_string(::GetLastError()));
        }
    }
    ~ScaleLine() { Close(); }
    ScaleLine(ScaleLine&& other) noexcept : handle_(other.handle_) {
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    ScaleLine& operator=(ScaleLine&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.handle_;
            other.handle_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Write(std::string_view bytes) const {
        DWORD written = 0;
        if (!::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr) ||
            written != bytes.size()) {
            throw std::runtime_error("short write to the scale's line, error " +
                                     std::to_string(::GetLastError()));
        }
    }
    void Close() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Runs the thread's message loop until pred holds or the time is up; true when it held.
inline bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
            if (pred()) return true;
        }
        if (pred()) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                    static_cast<DWORD>(left.count() < 50 ? left.count() : 50),
                                    QS_ALLINPUT);
    }
}

inline void PumpFor(std::chrono::milliseconds d) {
    PumpUntil([] { return false; }, d);
}

}  // namespace varnel::testing
