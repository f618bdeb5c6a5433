// The runtime's hidden message-only window. It receives the ticks of the runtime's timers
// (WM_TIMER) and the notices that a serial port's reader thread posts, and hands each to the
// component it is meant for. Components register with it and are identified by an id that is
// never reused, so a message that arrives after its component is gone finds nobody.
#pragma once

#include <windows.h>

#include <map>

namespace varnel::win32 {

// Posted by a serial port's reader thread: wParam is the port's id.
inline constexpr UINT kCommMessage = WM_APP + 0x0B1;

class MessageWindow {
  public:
    class Target {
      public:
        // message is WM_TIMER or kCommMessage. The target may destroy itself, or the window's
        // owner, while it runs.
        virtual void OnWindowMessage(UINT message) = 0;

      protected:
        ~Target() = default;
    };

    // Creates the window on the calling thread, whose message loop then serves it.
    MessageWindow();
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    // A fresh id for target: its timer id and its wParam in kCommMessage.
    UINT_PTR Add(Target& target);
    void Remove(UINT_PTR id) { targets_.erase(id); }

  private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    std::map<UINT_PTR, Target*> targets_;
    UINT_PTR next_ = 1;
};

}  // namespace varnel::win32
