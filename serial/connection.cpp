// Connection lifecycle: opening, closing and the port pass-through.
#include <string>

#include "control/varnel.h"

namespace varnel {

std::int16_t Varnel::ScaleOpen(std::int16_t& connectassert) {
    std::int16_t result = 0;
    m_LastStatus = 0;
    m_LastRawWt.clear();
    m_LogDir = GetWindowsDir();

    if (connectassert == kTrue) {
        bool up = ConnectToScale();
        if (up) {
            SetConnectStatus(1);
            // A receiver that cannot be reset has already run the communications-error
            // handling, which closed the link and started the retries: report it down.
            up = ResetReceiver();
        }
        if (up) {
            result = 1;
            CheckDebugMarker();
            if (m_DebugOn == kTrue) {
                WriteLog("");
                WriteLog("Start debug...");
                WriteLog("begin ScaleOpen()");
            }
            timCommTimeout.SetEnabled(true);
            timReconnect.SetEnabled(false);
            WriteLog("ScaleOpen: scale ONLINE 1, timeout enabled");
        } else {
            SetConnectStatus(0);
            result = 0;
            timCommTimeout.SetEnabled(false);
            timReconnect.SetEnabled(true);
            WriteLog("ScaleOpen: scale OFFLINE 1, timeout disabled");
        }
    } else {
        DisconnectFromScale();
        SetConnectStatus(0);
        result = 0;
        timCommTimeout.SetEnabled(false);
        timReconnect.SetEnabled(false);
        WriteLog("ScaleOpen: scale OFFLINE 2, timeout disabled");
    }

    WriteLog("end ScaleOpen()");
    return result;
}

bool Varnel::ConnectToScale() {
    WriteLog("begin ConnectToScale");
    bool result = false;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (MSComm1.PortOpen()) {
            WriteLog("ConnectToScale: port was already open");
            MSComm1.SetPortOpen(false);
            WriteLog("ConnectToScale: set PortOpen = False");
        }
        if (OpenSerialPort()) {
            result = true;
            WriteLog("ConnectToScale PASSED");
            break;
        }
        WriteLog("ConnectToScale FAILED");
        if (MSComm1.PortOpen()) MSComm1.SetPortOpen(false);
        result = false;
    }
    WriteLog("end ConnectToScale");
    return result;
}

bool Varnel::OpenSerialPort() {
    try {
        WriteLog("begin OpenSerialPort");
        // The initialiser gets the full port number: "COM12" for port 12.
        const std::string portName = "COM" + std::to_string(MSComm1.CommPort());
        const std::int32_t code = vnPortInit16(portName);
        WriteLog("vnPortInit16 returned: " + std::to_string(code));
        if (code != 0 && code != 5) {
            WriteLog("OpenSerialPort: comm port init unsuccessful");
            WriteLog("end OpenSerialPort");
            return false;
        }
        if (MSComm1.PortOpen()) {
            MSComm1.SetPortOpen(false);
            WriteLog("OpenSerialPort: had to close the already open port");
        }
        WriteLog("OpenSerialPort: ready to open port");
        MSComm1.SetPortOpen(true);
        MSComm1.SetSettings(kLineSettings);
        MSComm1.SetDTREnable(false);
        MSComm1.SetHandshaking(0);
        MSComm1.SetRTSEnable(false);
        MSComm1.SetOutBufferCount(0);
        MSComm1.SetInputLen(0);
        (void)MSComm1.Input();
        MSComm1.SetInputLen(1);
        WriteLog("OpenSerialPort: port opened");
        WriteLog("end OpenSerialPort");
        return true;
    } catch (const std::exception&) {
        // Fall through to the error trap below, outside the handler.
    }
    WriteLog("OpenSerialPort: sioopenerr" + std::to_string(MSComm1.CommEvent()));
    WriteLog("end OpenSerialPort");
    return false;
}

Variant Varnel::DisconnectFromScale() {
    ClosePort();
    WriteLog("DisconnectFromScale: PASSED");
    return Variant::Boolean(true);
}

bool Varnel::ClosePort() {
    if (MSComm1.PortOpen()) MSComm1.SetPortOpen(false);
    return true;
}

std::string Varnel::GetWindowsDir() {
    std::string dir = system_.WindowsDirectory();
    const char separator = system_.PathSeparator();
    if (!dir.empty() && dir.back() != separator) dir += separator;
    return dir;
}

}  // namespace varnel
