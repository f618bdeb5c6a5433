// Test doubles that record nothing, for measuring the control's own cost: a serial port fed from
// a string, timers that never tick, a container that only counts events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "control/container.h"
#include "serial/comm_component.h"
#include "serial/timer.h"

namespace varnel::bench {

class LeanComm : public CommComponent {
  public:
    const std::string* stream = nullptr;
    std::size_t pos = 0;

    void Pump() {
        while (pos < stream->size())
            handler_();
    }
    std::int32_t CommID() override { return 0; }
    void SetCommID(std::int32_t) override {}
    std::int16_t CommPort() override { return 1; }
    void SetCommPort(std::int16_t) override {}
    bool DTREnable() override { return false; }
    void SetDTREnable(bool) override {}
    std::int32_t Handshaking() override { return 0; }
    void SetHandshaking(std::int32_t) override {}
    std::int16_t InBufferCount() override { return 0; }
    void SetInBufferCount(std::int16_t) override { pos = stream ? stream->size() : 0; }
    std::int16_t InputLen() override { return 1; }
    void SetInputLen(std::int16_t) override {}
    std::int16_t OutBufferCount() override { return 0; }
    void SetOutBufferCount(std::int16_t) override {}
    bool PortOpen() override { return open_; }
    void SetPortOpen(bool v) override { open_ = v; }
    bool RTSEnable() override { return false; }
    void SetRTSEnable(bool) override {}
    std::string Settings() override { return {}; }
    void SetSettings(const std::string&) override {}
    std::string Input() override {
        if (!stream || pos >= stream->size()) return {};
        return std::string(1, (*stream)[pos++]);
    }
    std::int16_t CommEvent() override { return comm::kEvReceive; }
    void SetOnComm(std::function<void()> h) override { handler_ = std::move(h); }

  private:
    bool open_ = false;
    std::function<void()> handler_;
};

class LeanTimer : public Timer {
  public:
    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool e) override { enabled_ = e; }
    std::int32_t Interval() const override { return 0; }
    void SetInterval(std::int32_t) override {}
    void SetOnTick(std::function<void()>) override {}

  private:
    bool enabled_ = false;
};

class LeanContainer : public Container {
  public:
    std::int64_t raised = 0;
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view) override {}
    void RaiseOnScaleComm() override { ++raised; }
    void SetOwnSize(float, float) override {}
    ComponentVersion Version() override { return {}; }
    void EventError(const AutomationError&) override {}
    void ShowAboutBox(pages::AboutDialog&) override {}
};

}  // namespace varnel::bench
