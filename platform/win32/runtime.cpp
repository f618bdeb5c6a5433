#include "platform/win32/runtime.h"

#include "control/surface.h"
#include "platform/win32/message_window.h"
#include "platform/win32/serial_port.h"
#include "platform/win32/window_timer.h"

namespace varnel::win32 {

Runtime::Runtime() : window_(std::make_shared<MessageWindow>()) {}

Runtime::~Runtime() = default;

HWND Runtime::Window() const {
    return window_->Handle();
}

HostedComponents Runtime::MakeHostedComponents() {
    auto port = std::make_unique<SerialPort>(window_);
    surface::ApplyCommDesignSettings(*port);  // the line settings a new control's component holds
    auto watchdog = std::make_unique<WindowTimer>(window_);
    watchdog->CountAsTraffic(port->Traffic());
    return HostedComponents{std::move(port), std::make_unique<WindowTimer>(window_),
                            std::move(watchdog)};
}

}  // namespace varnel::win32
