// A serial-port component driven by the test: it records every property access in order, holds a
// receive queue, raises OnComm as the real component does, and can be told to fail any access.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "control/errors.h"
#include "serial/comm_component.h"

namespace varnel::testing {

class ScriptedComm : public CommComponent {
  public:
    // Every access as "get Name" or "set Name value", in order.
    std::vector<std::string> accesses;
    bool record = true;

    // Makes the next `times` accesses fail (-1: all): by name ("set PortOpen", "get Input") or
    // with the value too ("set PortOpen True").
    void Fail(const std::string& access, std::int32_t number = comm::kErrInvalidPortNumber,
              int times = -1) {
        failures_[access] = Failure{number, times};
    }
    void Heal(const std::string& access) { failures_.erase(access); }

    // Characters arrive: they join the receive queue and receive events are raised while any
    // are waiting. Characters that arrive on a closed port are lost.
    void Deliver(std::string_view bytes) {
        if (!open_) return;
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
        Pump();
    }
    // Raises one event with the given code, then receive events for what is waiting.
    void Raise(std::int16_t code) {
        event_ = code;
        if (handler_) handler_();
        Pump();
    }
    std::size_t Waiting() const { return queue_.size(); }
    std::vector<std::string> Writes() const {
        std::vector<std::string> out;
        for (const auto& a : accesses) {
            if (a.rfind("set ", 0) == 0) out.push_back(a);
        }
        return out;
    }

    std::int32_t CommID() override { return Get("CommID", commId_); }
    void SetCommID(std::int32_t v) override { Set("CommID", v, commId_); }
    std::int16_t CommPort() override { return Get("CommPort", port_); }
    void SetCommPort(std::int16_t v) override { Set("CommPort", v, port_); }
    bool DTREnable() override { return Get("DTREnable", dtr_); }
    void SetDTREnable(bool v) override { Set("DTREnable", v, dtr_); }
    std::int32_t Handshaking() override { return Get("Handshaking", handshaking_); }
    void SetHandshaking(std::int32_t v) override { Set("Handshaking", v, handshaking_); }
    std::int16_t InBufferCount() override {
        std::int16_t n = static_cast<std::int16_t>(queue_.size());
        return Get("InBufferCount", n);
    }
    void SetInBufferCount(std::int16_t v) override {
        Access("set InBufferCount " + std::to_string(v));
        RequireOpen();
        if (v == 0) queue_.clear();
    }
    std::int16_t InputLen() override { return Get("InputLen", inputLen_); }
    void SetInputLen(std::int16_t v) override { Set("InputLen", v, inputLen_); }
    std::int16_t OutBufferCount() override {
        std::int16_t n = 0;
        return Get("OutBufferCount", n);
    }
    void SetOutBufferCount(std::int16_t v) override {
        Access("set OutBufferCount " + std::to_string(v));
        RequireOpen();
    }
    bool PortOpen() override { return Get("PortOpen", open_); }
    void SetPortOpen(bool v) override {
        Access(std::string("set PortOpen ") + (v ? "True" : "False"));
        if (v && open_) throw AutomationError(comm::kErrPortAlreadyOpen, "Port already open");
        if (!v) queue_.clear();
        open_ = v;
    }
    bool RTSEnable() override { return Get("RTSEnable", rts_); }
    void SetRTSEnable(bool v) override { Set("RTSEnable", v, rts_); }
    std::string Settings() override { return Get("Settings", settings_); }
    void SetSettings(const std::string& v) override { Set("Settings", v, settings_); }
    std::string Input() override {
        Access("get Input");
        RequireOpen();
        std::size_t n =
            inputLen_ == 0 ? queue_.size() : std::min<std::size_t>(queue_.size(), inputLen_);
        std::string out(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }
    std::int16_t CommEvent() override { return Get("CommEvent", event_); }
    void SetOnComm(std::function<void()> handler) override { handler_ = std::move(handler); }

    // Direct state, bypassing the access log.
    bool IsOpen() const { return open_; }
    std::int16_t Port() const { return port_; }
    void SetEventCode(std::int16_t code) { event_ = code; }

  private:
    struct Failure {
        std::int32_t number;
        int times;
    };

    static std::string Text(bool v) { return v ? "True" : "False"; }
    static std::string Text(const std::string& v) { return v; }
    template <typename T>
    static std::string Text(T v) {
        return std::to_string(v);
    }

    void Access(const std::string& what) {
        if (record) accesses.push_back(what);
        std::string key = what;
        auto it = failures_.find(key);
        if (it == failures_.end()) {
            key = what.substr(0, what.find(' ', 4));
            it = failures_.find(key);
        }
        if (it == failures_.end() || it->second.times == 0) return;
        if (it->second.times > 0) --it->second.times;
        throw AutomationError(it->second.number, "scripted failure of " + key);
    }
    template <typename T>
    T Get(const char* name, const T& value) {
        Access(std::string("get ") + name);
        return value;
    }
    template <typename T>
    void Set(const char* name, const T& v, T& field) {
        Access(std::string("set ") + name + " " + Text(v));
        field = v;
    }
    void RequireOpen() const {
        if (!open_)
            throw AutomationError(comm::kErrPortOpenOnly,
                                  "Operation valid only when the port is open");
    }
    void Pump() {
        while (open_ && !queue_.empty() && handler_) {
            const std::size_t before = queue_.size();
            event_ = comm::kEvReceive;
            handler_();
            if (queue_.size() >= before) break;  // the handler read nothing
        }
    }

    std::map<std::string, Failure> failures_;
    std::deque<char> queue_;
    std::function<void()> handler_;
    std::int32_t commId_ = 0;
    std::int16_t port_ = 1;
    bool dtr_ = false;
    std::int32_t handshaking_ = 0;
    std::int16_t inputLen_ = 0;
    bool open_ = false;
    bool rts_ = false;
    std::string settings_ = "9600,N,8,1";
    std::int16_t event_ = 0;
};

}  // namespace varnel::testing
