// Frame receiver, frame decoding, weight conversion and change notification.
#include <exception>

#include "control/varnel.h"
#include "datapath/frame.h"

namespace varnel {

void Varnel::HandleCommEvent() {
    MSComm1.SetInputLen(1);
    const std::int16_t code = MSComm1.CommEvent();
    switch (code) {
        case comm::kEvReceive:
            ReceiveCharacter();
            break;
        case comm::kEventBreak:
        case comm::kEventCTSTO:
        case comm::kEventDSRTO:
        case comm::kEventFrame:
        case comm::kEventOverrun:
        case comm::kEventCDTO:
        case comm::kEventRxOver:
        case comm::kEventRxParity:
        case comm::kEventTxFull:
        case comm::kEventDCB:
            ResetReceiver();
            break;
        default:
            WriteLog("OnComm: event error");
            break;
    }
}

void Varnel::ReceiveCharacter() {
    // Every receive event restarts the watchdog's interval.
    timCommTimeout.SetEnabled(false);
    timCommTimeout.SetEnabled(true);

    if (m_RxState == 0) {
        m_RxChar = MSComm1.Input();
        if (m_RxChar.size() != 1 || m_RxChar[0] != frame::kSTX) {
            ResetReceiver();
            return;
        }
        m_Frame = m_RxChar;
        m_RxState = 1;
        return;
    }

    m_RxChar = MSComm1.Input();
    if (m_RxChar.empty()) return;  // nothing was waiting after all
    const char code = m_RxChar[0];
    if (code == frame::kSTX) {
        ResetReceiver();
        return;
    }
    if (code != frame::kCR) {
        // A frame longer than a valid one is dropped at its CR whatever it holds, so stop
        // storing once it is too long.
        if (m_Frame.size() <= frame::kLength) m_Frame += m_RxChar;
        return;
    }

    timCommTimeout.SetEnabled(false);
    m_Frame += m_RxChar;
    std::exception_ptr failure;
    if (m_Frame.size() == frame::kLength) {
        try {
            // A copy: the host's handlers may reset the receiver while the frame is processed.
            const std::string frameText = m_Frame;
            ProcessFrame(frameText);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!MSComm1.PortOpen()) {
            // The host closed the link from its handler: no watchdog, nothing to flush.
            m_Frame.clear();
            m_RxState = 0;
            if (failure) std::rethrow_exception(failure);
            return;
        }
    }
    // Re-armed after every CR, so a malformed frame followed by silence is still noticed.
    timCommTimeout.SetEnabled(true);
    ResetReceiver();
    if (failure) std::rethrow_exception(failure);
}

bool Varnel::ResetReceiver() {
    try {
        MSComm1.SetInBufferCount(0);
    } catch (const std::exception&) {
        HandleCommError();
        return false;
    }
    m_Frame.clear();
    m_RxState = 0;
    return true;
}

void Varnel::ProcessFrame(const std::string& frame) {
    DecodeStatusByte(frame);
    if (m_ScaleStatus != m_LastStatus) {
        SetScaleCommEvent(scale_event::kStatusChanged);
        RaiseOnScaleComm();
        m_LastStatus = m_ScaleStatus;
    }
    ExtractRawWt(frame);
    if (m_WtNotification == vnEverytime || m_RawWt != m_LastRawWt) {
        ConvertRawWt();
        SelectNetWt();
        SetScaleCommEvent(scale_event::kNewWeight);
        RaiseOnScaleComm();
    }
    m_LastRawWt = m_RawWt;
}

void Varnel::DecodeStatusByte(const std::string& frame) {
    const frame::Status s = frame::DecodeStatus(static_cast<unsigned char>(frame.at(1)));
    SetScaleStatus(s.status);
    SetRawWtUnits(s.units);
}

void Varnel::ExtractRawWt(const std::string& frame) {
    SetRawWt(frame::RawWeightField(m_ScaleStatus, frame));
}

void Varnel::ConvertRawWt() {
    auto text = frame::FormatRawWt(m_RawWtUnits, m_RawWt);
    if (!text) return;
    SetFormattedWt(*text);
    const frame::Weights w = frame::ConvertWeights(m_RawWtUnits, m_RawWt);
    m_Pounds = w.pounds;
    m_Kilograms = w.kilograms;
    m_Grams = w.grams;
    m_Ounces = w.ounces;
}

void Varnel::SelectNetWt() {
    const frame::Weights w{m_Pounds, m_Kilograms, m_Grams, m_Ounces};
    if (auto value = frame::SelectWeight(m_NetWtUnits, w)) SetNetWt(Variant(*value));
}

}  // namespace varnel
