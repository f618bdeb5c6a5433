#include "ocx/guarded_components.h"

#include "ocx/control.h"

namespace varnel::ocx {

namespace {

std::function<void()> Wrap(VarnelControl& control, std::function<void()> handler) {
    if (!handler) return nullptr;
    return [&control, handler = std::move(handler)] {
        const VarnelControl::Activity activity(control);
        if (!control.Released()) handler();
        // The activity's end may destroy the control, this component and this function object
        // with it: nothing follows.
    };
}

}  // namespace

class GuardedComm final : public CommComponent {
  public:
    GuardedComm(VarnelControl& control, std::unique_ptr<CommComponent> inner)
        : control_(control), inner_(std::move(inner)) {}

    std::int32_t CommID() override { return inner_->CommID(); }
    void SetCommID(std::int32_t v) override { inner_->SetCommID(v); }
    std::int16_t CommPort() override { return inner_->CommPort(); }
    void SetCommPort(std::int16_t v) override { inner_->SetCommPort(v); }
    bool DTREnable() override { return inner_->DTREnable(); }
    void SetDTREnable(bool v) override { inner_->SetDTREnable(v); }
    std::int32_t Handshaking() override { return inner_->Handshaking(); }
    void SetHandshaking(std::int32_t v) override { inner_->SetHandshaking(v); }
    std::int16_t InBufferCount() override { return inner_->InBufferCount(); }
    void SetInBufferCount(std::int16_t v) override { inner_->SetInBufferCount(v); }
    std::int16_t InputLen() override { return inner_->InputLen(); }
    void SetInputLen(std::int16_t v) override { inner_->SetInputLen(v); }
    std::int16_t OutBufferCount() override { return inner_->OutBufferCount(); }
    void SetOutBufferCount(std::int16_t v) override { inner_->SetOutBufferCount(v); }
    bool PortOpen() override { return inner_->PortOpen(); }
    void SetPortOpen(bool v) override { inner_->SetPortOpen(v); }
    bool RTSEnable() override { return inner_->RTSEnable(); }
    void SetRTSEnable(bool v) override { inner_->SetRTSEnable(v); }
    std::string Settings() override { return inner_->Settings(); }
    void SetSettings(const std::string& v) override { inner_->SetSettings(v); }
    std::string Input() override { return inner_->Input(); }
    std::int16_t CommEvent() override { return inner_->CommEvent(); }
    void SetOnComm(std::function<void()> handler) override {
        inner_->SetOnComm(Wrap(control_, std::move(handler)));
    }

  private:
    VarnelControl& control_;
    std::unique_ptr<CommComponent> inner_;
};

class GuardedTimer final : public Timer {
  public:
    GuardedTimer(VarnelControl& control, std::unique_ptr<Timer> inner)
        : control_(control), inner_(std::move(inner)) {}

    bool Enabled() const override { return inner_->Enabled(); }
    void SetEnabled(bool enabled) override { inner_->SetEnabled(enabled); }
    std::int32_t Interval() const override { return inner_->Interval(); }
    void SetInterval(std::int32_t ms) override { inner_->SetInterval(ms); }
    void SetOnTick(std::function<void()> handler) override {
        inner_->SetOnTick(Wrap(control_, std::move(handler)));
    }

  private:
    VarnelControl& control_;
    std::unique_ptr<Timer> inner_;
};

HostedComponents Guard(VarnelControl& control, HostedComponents hosted) {
    return HostedComponents{
        std::make_unique<GuardedComm>(control, std::move(hosted.comm)),
        std::make_unique<GuardedTimer>(control, std::move(hosted.reconnect)),
        std::make_unique<GuardedTimer>(control, std::move(hosted.commTimeout)),
    };
}

}  // namespace varnel::ocx
