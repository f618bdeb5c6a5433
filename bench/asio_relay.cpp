// The smallest Asio program that does what the monitor does per frame, for CPU comparisons:
// wait until the line is readable, read what is there, empty the line's input buffer, print a
// line. Usage: asio_relay [--line] DEVICE; --line sets the scale's line settings as the control
// does ("2400,N,8,2", errors and breaks marked).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string_view>

#include "platform/posix/line_settings.h"

int main(int argc, char** argv) {
    const bool line = argc == 3 && std::string_view(argv[1]) == "--line";
    if (argc != 2 && !line) {
        std::fprintf(stderr, "usage: asio_relay [--line] DEVICE\n");
        return 2;
    }
    const int fd = ::open(argv[argc - 1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 1;
    if (line) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        const auto settings =
            varnel::comm::ParseLineSettings("2400,N,8,2", varnel::posix::kLineCapabilities);
        varnel::posix::ApplyLineSettings(tio, *settings, varnel::posix::kHandshakeNone);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    boost::asio::io_context io(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO);
    boost::asio::posix::stream_descriptor device(io, fd);
    std::function<void(const boost::system::error_code&)> onReadable;
    onReadable = [&](const boost::system::error_code& ec) {
        if (ec) return;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        if (n > 0) {
            ::tcflush(fd, TCIFLUSH);
            if (::write(STDOUT_FILENO, "x\n", 2) != 2) return;
        }
        device.async_wait(boost::asio::posix::stream_descriptor::wait_read, onReadable);
    };
    device.async_wait(boost::asio::posix::stream_descriptor::wait_read, onReadable);
    io.run();
    return 0;
}
