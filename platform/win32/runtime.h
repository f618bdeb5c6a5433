// The Win32 runtime of a control: a hidden message-only window on the thread that creates it,
// the system services, and the components each control owns (a serial port and two timers).
//
// One per control; create it, use it and destroy it on the control's user-interface (apartment)
// thread, which must run a message loop: timer ticks and received characters arrive as messages
// to the hidden window and run the control's handlers there, one at a time. The components it
// makes keep the window alive, so the runtime and its components may go in any order; destroying
// a serial port closes it (its reader thread is stopped, waited for at most 2 s), destroying a
// timer kills it.
#pragma once

#include <windows.h>

#include <memory>

#include "control/varnel.h"
#include "platform/win32/win32_system.h"

namespace varnel::win32 {

class MessageWindow;

class Runtime {
  public:
    // Creates the hidden message window (HWND_MESSAGE) on the calling thread. Raises
    // std::runtime_error when the window cannot be created.
    Runtime();
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // A serial port (\\.\COMn for port n) holding the line settings a new control's component
    // has, and two disabled timers, all served by this runtime's window.
    HostedComponents MakeHostedComponents();
    Win32System& Services() { return system_; }
    HWND Window() const;

  private:
    std::shared_ptr<MessageWindow> window_;
    Win32System system_;
};

}  // namespace varnel::win32
