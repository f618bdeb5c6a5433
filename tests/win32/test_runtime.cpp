// The control on the Win32 runtime under Wine, on two COM ports joined by a null-modem cable
// (run_on_com_ports.sh): the runtime scenarios on a rig of its own, and what only this runtime
// has.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/serial_port.h"
#include "tests/fakes/recording_container.h"
#include "tests/win32/wine_rig.h"

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Win32Rig : public WineRig {
  public:
    Win32Rig() {
        container.onScaleComm = [this] {
            Varnel& c = *control;
            Record(Seen{c.ScaleCommEvent(), c.RawWtUnits(), c.ConnectStatus(), c.RawWt(),
                        c.FormattedWt(), *c.NetWt().R4()});
        };
        control->SetCommPort(port);
    }

    std::int16_t ScaleOpen(std::int16_t connectassert) override {
        return control->ScaleOpen(connectassert);
    }
    std::int16_t ConnectStatus() override { return control->ConnectStatus(); }
    void SetNetWtUnits(std::int32_t units) override {
        control->SetNetWtUnits(static_cast<VN_UOM_ENUM>(units));
    }
    bool SetPortInitTimeout(std::uint32_t milliseconds) override {
        control->SetPortInitTimeout(milliseconds);
        return true;
    }
    std::vector<std::int32_t> EventErrors() override {
        std::vector<std::int32_t> out;
        for (const AutomationError& e : container.errors)
            out.push_back(e.Number());
        return out;
    }
    std::optional<std::size_t> OpenProcesses() override {
        return runtime.Services().OpenProcesses();
    }

    RecordingContainer container;
    std::unique_ptr<Varnel> control =
        std::make_unique<Varnel>(container, runtime.Services(), runtime.MakeHostedComponents());
};

INSTANTIATE_TEST_SUITE_P(Win32, RuntimeScenario, ::testing::Values(RigOf<Win32Rig>("wine")));

class Win32Test : public OnRig<Win32Rig> {
  protected:
    std::unique_ptr<CommComponent> NewPort() {
        std::unique_ptr<CommComponent> port = std::move(rig.runtime.MakeHostedComponents().comm);
        port->SetCommPort(rig.port);
        return port;
    }
};

TEST_F(Win32Test, OnCommHandlersMayCloseReopenOrDestroyThePort) {
    enum class Act { Read, Close, Reopen, Destroy };
    struct Case {
        const char* name;
        Act act;
        int events;      // after "ABC" is written
        bool openAfter;  // the port is open afterwards
    };
    const Case cases[] = {
        {"reading one character per event", Act::Read, 3, true},
        {"closing", Act::Close, 1, false},
        {"closing and opening again", Act::Reopen, 1, true},
        {"destroying it", Act::Destroy, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CommComponent> port = NewPort();
        port->SetPortOpen(true);
        port->SetInputLen(1);
        int events = 0;
        std::string text;
        port->SetOnComm([&] {
            ++events;
            EXPECT_EQ(port->CommEvent(), comm::kEvReceive);
            switch (c.act) {
                case Act::Read:
                    text += port->Input();
                    break;
                case Act::Close:
                    port->SetPortOpen(false);
                    break;
                case Act::Reopen:
                    if (events == 1) {
                        port->SetPortOpen(false);
                        port->SetPortOpen(true);
                    } else {
                        text += port->Input();
                    }
                    break;
                case Act::Destroy:
                    port.reset();
                    break;
            }
        });
        rig.DropScaleSide();
        rig.Write("ABC");
        ASSERT_TRUE(PumpUntil([&] { return events == c.events; }, 3s));
        PumpFor(150ms);
        EXPECT_EQ(events, c.events);
        if (c.act == Act::Read) {
            EXPECT_EQ(text, "ABC");
        }
        EXPECT_EQ(port && port->PortOpen(), c.openAfter);
        if (c.act == Act::Reopen) {
            rig.Write("D");
            ASSERT_TRUE(PumpUntil([&] { return text == "D"; }, 3s));
        }
        port.reset();
        // Whatever the handler did, the port is free for the next opener.
        EXPECT_EQ(rig.OpenElsewhere(), 0);
    }
}

TEST_F(Win32Test, WhatWasReadBeforeTheDeviceWentStaysCountedAndReadable) {
    std::unique_ptr<CommComponent> port = NewPort();
    port->SetPortOpen(true);
    int events = 0;
    port->SetOnComm([&] { ++events; });  // reads nothing
    rig.DropScaleSide();
    rig.Write("ABC");
    ASSERT_TRUE(PumpUntil([&] { return events > 0 && port->InBufferCount() == 3; }, 3s));
    rig.PullCable();
    EXPECT_EQ(port->InBufferCount(), 3);
    port->SetInputLen(0);
    EXPECT_EQ(port->Input(), "ABC");
    rig.PlugInCable();
}

// A driver that keeps a cancelled read until the test lets it go.
HANDLE letGo = nullptr;
BOOL KeepCancelledRead(HANDLE device, OVERLAPPED* overlapped, DWORD* got) {
    ::WaitForSingleObject(letGo, INFINITE);
    return ::GetOverlappedResult(device, overlapped, got, TRUE);
}

TEST_F(Win32Test, ClosingDoesNotWaitForADriverThatKeepsACancelledRead) {
    letGo = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    win32::SetCancelledReadWait(&KeepCancelledRead);
    // Let go at the latest after 20 s: a close that waits for the reader fails, it does not hang.
    std::thread deadline([] {
        ::WaitForSingleObject(letGo, 20000);
        ::SetEvent(letGo);
    });
    {
        std::unique_ptr<CommComponent> port = NewPort();
        port->SetPortOpen(true);
        const auto start = Clock::now();
        port->SetPortOpen(false);
        EXPECT_LT(Clock::now() - start, 8s);
        EXPECT_FALSE(port->PortOpen());
        std::string output;
        for (const std::string& line : rig.debug.Lines())
            output += line;
        EXPECT_NE(output.find("Varnel: COM" + std::to_string(rig.port) +
                              ": the driver has not ended a cancelled read"),
                  std::string::npos)
            << output;
        // The reader still has the device: nobody else gets the port yet.
        std::unique_ptr<CommComponent> next = NewPort();
        EXPECT_EQ(ErrorOf([&] { next->SetPortOpen(true); }), comm::kErrPortAlreadyOpen);
        // The component goes; then the driver ends the read, and the reader lets the port go.
        port.reset();
        ::SetEvent(letGo);
        EXPECT_TRUE(PumpUntil([&] { return ErrorOf([&] { next->SetPortOpen(true); }) == 0; }, 10s));
    }
    deadline.join();
    win32::SetCancelledReadWait(nullptr);
    ::CloseHandle(letGo);
}

TEST_F(Win32Test, TheInitialiserInheritsNoneOfTheHostsHandles) {
    rig.InstallInitialiser(Initialiser::Records);
    // An inheritable handle of the host's, on a file of its own.
    const std::string path = rig.probeLog + ".held";
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                      CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char held[MAX_PATH] = {};
    ASSERT_GT(::GetFinalPathNameByHandleA(file, held, MAX_PATH, 0), 0u);
    const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(file));
    ::SetEnvironmentVariableA("VARNEL_PORTIN_HANDLE", value.c_str());
    EXPECT_EQ(rig.Open(), 1);
    ::CloseHandle(file);
    const std::string log = ReadText(rig.probeLog);
    const std::size_t line = log.find("handle " + value + " ");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_EQ(log.substr(line, log.find('\n', line) - line).find(held), std::string::npos) << log;
}

}  // namespace
}  // namespace varnel::testing
