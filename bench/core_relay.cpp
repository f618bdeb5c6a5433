// The minimal Asio loop of asio_relay with the control in it, for CPU comparisons: what is read
// goes through the control (ten receive events, the frame processing, the event) and each event
// is printed as the monitor's JSON line. No serial-port component, timers or container of the
// runtime: the difference to `varnel monitor --json` is theirs. Usage: core_relay [--no-json]
// DEVICE
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "bench/lean_doubles.h"
#include "control/null_system.h"
#include "control/varnel.h"
#include "tools/varnel/output.h"

int main(int argc, char** argv) {
    using namespace varnel;
    const bool json = !(argc == 3 && std::string_view(argv[1]) == "--no-json");
    if (argc != 2 && json) {
        std::fprintf(stderr, "usage: core_relay [--no-json] DEVICE\n");
        return 2;
    }
    const std::string device = argv[argc - 1];
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 1;

    bench::LeanContainer container;
    NullSystem system;
    auto comm = std::make_unique<bench::LeanComm>();
    bench::LeanComm* port = comm.get();
    Varnel control(container, system,
                   HostedComponents{std::move(comm), std::make_unique<bench::LeanTimer>(),
                                    std::make_unique<bench::LeanTimer>()});
    std::int16_t open = kTrue;
    control.ScaleOpen(open);

    boost::asio::io_context io(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO);
    boost::asio::posix::stream_descriptor line(io, fd);
    std::string received;
    cli::EventRecord record;
    std::function<void(const boost::system::error_code&)> onReadable;
    onReadable = [&](const boost::system::error_code& ec) {
        if (ec) return;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        if (n > 0) {
            received.assign(buf, static_cast<std::size_t>(n));
            port->stream = &received;
            port->pos = 0;
            const auto before = container.raised;
            port->Pump();
            ::tcflush(fd, TCIFLUSH);
            if (container.raised != before) {
                std::string out = "x";
                if (json) {
                    record.Fill(control, device);
                    out = cli::JsonLine(record);
                }
                out += '\n';
                if (::write(STDOUT_FILENO, out.data(), out.size()) < 0) return;
            }
        }
        line.async_wait(boost::asio::posix::stream_descriptor::wait_read, onReadable);
    };
    line.async_wait(boost::asio::posix::stream_descriptor::wait_read, onReadable);
    io.run();
    return 0;
}
