#include "serial/serial_port_base.h"

#include "serial/port_checks.h"

namespace varnel::comm {

std::int32_t SerialPortBase::CommID() {
    return PortOpen() ? DeviceId() : commId_;
}

void SerialPortBase::SetCommPort(std::int16_t value) {
    CheckCommPort(PortOpen(), value);
    port_ = value;
}

void SerialPortBase::SetDTREnable(bool value) {
    dtr_ = value;
    if (PortOpen()) ApplyModemLine(ModemLine::Dtr, value);
}

void SerialPortBase::SetRTSEnable(bool value) {
    rts_ = value;
    // With RTS/CTS handshaking the driver owns the line.
    if (PortOpen() && !UsesRtsCts(handshaking_)) ApplyModemLine(ModemLine::Rts, value);
}

void SerialPortBase::SetHandshaking(std::int32_t value) {
    CheckHandshaking(value);
    if (PortOpen()) ApplyHandshaking(value);
    handshaking_ = value;
}

void SerialPortBase::SetSettings(const std::string& value) {
    std::string why;
    const auto line = ParseLineSettings(value, can_, &why);
    if (!line) RaiseInvalidSettings(why);
    if (PortOpen()) ApplySettings(value, *line);
    settings_ = value;
    line_ = *line;
}

void SerialPortBase::SetInputLen(std::int16_t value) {
    CheckInputLen(value);
    inputLen_ = value;
}

std::int16_t SerialPortBase::InBufferCount() {
    RequireOpen(PortOpen(), "InBufferCount");
    return CountProperty(PendingInput());
}

void SerialPortBase::SetInBufferCount(std::int16_t value) {
    RequireOpen(PortOpen(), "InBufferCount");
    CheckBufferCountSet("InBufferCount", value);
    FlushInput();
}

std::int16_t SerialPortBase::OutBufferCount() {
    RequireOpen(PortOpen(), "OutBufferCount");
    return CountProperty(PendingOutput());
}

void SerialPortBase::SetOutBufferCount(std::int16_t value) {
    RequireOpen(PortOpen(), "OutBufferCount");
    CheckBufferCountSet("OutBufferCount", value);
    FlushOutput();
}

void SerialPortBase::SetPortOpen(bool value) {
    if (value) {
        if (PortOpen()) RaiseAlreadyOpen();
        ++generation_;
        Open();
    } else if (PortOpen()) {
        ++generation_;
        Close();
    }
}

std::string SerialPortBase::Input() {
    RequireOpen(PortOpen(), "Input");
    return ReadInput(static_cast<std::size_t>(inputLen_));
}

std::uint64_t SerialPortBase::Removals() {
    const std::unique_lock<std::mutex> lock = LockQueue();
    return Queue().Removals();
}

bool SerialPortBase::Deliver() {
    if (delivering_) {
        // A handler runs a message loop inside an event: what came waits for it to return.
        const std::unique_lock<std::mutex> lock = LockQueue();
        traffic_->Note(Queue().Arrivals(), HeldTraffic::Clock::now());
        return true;
    }
    delivering_ = true;
    const std::weak_ptr<const int> alive = alive_;
    const std::uint64_t generation = generation_;
    for (;;) {
        std::int16_t code = 0;
        std::uint64_t removals = 0;
        {
            const std::unique_lock<std::mutex> lock = LockQueue();
            ReceiveQueue& queue = Queue();
            if (queue.Empty()) break;
            if (!handler_) {
                queue.Clear();
                break;
            }
            code = queue.NextEvent();
            removals = queue.Removals();
        }
        event_ = code;
        handler_();
        if (alive.expired()) return false;     // the handler destroyed the component
        if (generation != generation_) break;  // it closed (or reopened) the port
        // It left the character unread: wait for more.
        if (code == kEvReceive && Removals() == removals) break;
    }
    delivering_ = false;
    return true;
}

}  // namespace varnel::comm
