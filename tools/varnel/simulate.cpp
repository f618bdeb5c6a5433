// varnel simulate: a scale on a serial device or a new pseudo-terminal.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/sim/pacer.h"
#include "tools/sim/pty.h"
#include "tools/varnel/commands.h"

namespace varnel::cli {

namespace {

sim::Pacer* gPacer = nullptr;

extern "C" void StopPacer(int) {
    if (gPacer) gPacer->RequestStop();
}

// The scale's end of a real line: raw, 2400 baud 8N2, never blocking.
int OpenDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CSTOPB | CLOCAL;
        ::cfsetispeed(&tio, B2400);
        ::cfsetospeed(&tio, B2400);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

sim::Config SimulatorConfig(const SimulateOptions& o) {
    sim::Config config;
    config.layout = *sim::ParseLayout(o.layout);
    config.status = sim::ParseStatusSchedule(o.status);
    config.script = sim::ParseScript(o.script);
    for (const auto& f : o.faults)
        config.faults.push_back(sim::ParseFault(f));
    config.seed = o.seed;
    return config;
}

}  // namespace

int RunSimulate(const SimulateOptions& o) {
    sim::Config config;
    try {
        config = SimulatorConfig(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    sim::Pty pty;
    int fd = -1;
    if (o.pty) {
        pty = sim::OpenPty();
        fd = pty.master();
        std::printf("%s\n", pty.slavePath().c_str());
        std::fflush(stdout);
    } else {
        fd = OpenDevice(o.device);
        if (fd < 0) {
            std::perror(("varnel: " + o.device).c_str());
            return 1;
        }
    }

    sim::Simulator simulator(std::move(config));
    sim::Pacer pacer;
    gPacer = &pacer;
    std::signal(SIGINT, StopPacer);
    std::signal(SIGTERM, StopPacer);
    sim::PaceOptions pace;
    if (o.duration > 0) {
        pace.duration = std::chrono::nanoseconds(static_cast<std::int64_t>(o.duration * 1e9));
    }
    const sim::PacerStats stats = pacer.Run(simulator, fd, pace);
    gPacer = nullptr;
    if (!o.pty) ::close(fd);
    std::fprintf(
        stderr, "varnel: %llu frames, %llu bytes, %llu dropped (nobody reading), %llu faults\n",
        static_cast<unsigned long long>(stats.frames), static_cast<unsigned long long>(stats.bytes),
        static_cast<unsigned long long>(stats.drops),
        static_cast<unsigned long long>(stats.faults));
    if (stats.end == sim::PacerEnd::WriteError) {
        std::fprintf(stderr, "varnel: write error: %s\n", std::strerror(stats.error));
        return 1;
    }
    return 0;
}

}  // namespace varnel::cli
