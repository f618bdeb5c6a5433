#include "tools/sim/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace varnel::sim {

Pty::Pty(Pty&& other) noexcept
    : master_(std::exchange(other.master_, -1)), slavePath_(std::move(other.slavePath_)) {}

Pty& Pty::operator=(Pty&& other) noexcept {
    if (this != &other) {
        if (master_ >= 0) close(master_);
        master_ = std::exchange(other.master_, -1);
        slavePath_ = std::move(other.slavePath_);
    }
    return *this;
}

int Pty::Release() noexcept {
    slavePath_.clear();
    return std::exchange(master_, -1);
}

Pty::~Pty() {
    if (master_ >= 0) close(master_);
}

Pty OpenPty() {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "posix_openpt");
    Pty owner(fd, {});  // closes fd should a step below fail
    auto check = [](bool ok, const char* what) {
        if (!ok) throw std::system_error(errno, std::generic_category(), what);
    };
    check(grantpt(fd) == 0, "grantpt");
    check(unlockpt(fd) == 0, "unlockpt");
    char name[128];
    check(ptsname_r(fd, name, sizeof name) == 0, "ptsname_r");

    // The master and the slave share one set of terminal attributes on Linux.
    termios attributes{};
    check(tcgetattr(fd, &attributes) == 0, "tcgetattr");
    cfmakeraw(&attributes);
    check(tcsetattr(fd, TCSANOW, &attributes) == 0, "tcsetattr");

    const int fdFlags = fcntl(fd, F_GETFD);
    check(fdFlags >= 0 && fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) == 0, "fcntl FD_CLOEXEC");
    const int flags = fcntl(fd, F_GETFL);
    check(flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0, "fcntl O_NONBLOCK");
    return Pty(owner.Release(), name);
}

}  // namespace varnel::sim
