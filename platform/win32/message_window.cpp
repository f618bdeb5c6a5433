#include "platform/win32/message_window.h"

#include <mutex>
#include <stdexcept>
#include <string>

namespace varnel::win32 {

namespace {

constexpr const char* kClassName = "VarnelRuntimeWindow";

// The window class is registered while any window of it exists: a library that is unloaded and
// loaded again registers it afresh with its new module handle.
std::mutex classMutex;
int classUsers = 0;

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

}  // namespace

MessageWindow::MessageWindow() {
    const HINSTANCE module = ThisModule();
    {
        std::lock_guard<std::mutex> lock(classMutex);
        WNDCLASSEXA existing{};
        existing.cbSize = sizeof existing;
        if (!::GetClassInfoExA(module, kClassName, &existing)) {
            WNDCLASSEXA wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = &MessageWindow::Procedure;
            wc.hInstance = module;
            wc.lpszClassName = kClassName;
            if (!::RegisterClassExA(&wc)) {
                throw std::runtime_error("RegisterClassEx failed, error " +
                                         std::to_string(::GetLastError()));
            }
        }
        ++classUsers;
    }
    hwnd_ =
        ::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (!hwnd_) {
        const DWORD error = ::GetLastError();
        std::lock_guard<std::mutex> lock(classMutex);
        if (--classUsers == 0) ::UnregisterClassA(kClassName, module);
        throw std::runtime_error("CreateWindowEx failed, error " + std::to_string(error));
    }
    ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MessageWindow::~MessageWindow() {
    ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd_);
    std::lock_guard<std::mutex> lock(classMutex);
    if (--classUsers == 0) ::UnregisterClassA(kClassName, ThisModule());
}

UINT_PTR MessageWindow::Add(Target& target) {
    const UINT_PTR id = next_++;
    targets_[id] = &target;
    return id;
}

LRESULT CALLBACK MessageWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER || message == kCommMessage) {
        auto* self = reinterpret_cast<MessageWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self) {
            auto it = self->targets_.find(static_cast<UINT_PTR>(wParam));
            // The target may destroy this window: nothing here touches it afterwards.
            if (it != self->targets_.end()) it->second->OnWindowMessage(message);
        }
        return 0;
    }
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace varnel::win32
