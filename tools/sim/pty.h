// A pseudo-terminal pair standing in for the scale's serial line.
//
// The simulator writes to the master; the reader (the control, a terminal program) opens the
// slave path like a serial device. On Linux, bytes written while no slave is open are still
// buffered (about 20 KB, then writes would block), and a reader of the slave sees end of file or
// EIO once the master is closed.
#pragma once

#include <string>
#include <utility>

namespace varnel::sim {

class Pty {
  public:
    Pty() = default;
    Pty(int master, std::string slavePath) : master_(master), slavePath_(std::move(slavePath)) {}
    Pty(Pty&& other) noexcept;
    Pty& operator=(Pty&& other) noexcept;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();  // closes the master

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }  // e.g. /dev/pts/7

    // Gives up the master without closing it.
    int Release() noexcept;

  private:
    int master_ = -1;
    std::string slavePath_;
};

// Opens a pseudo-terminal: master non-blocking and close-on-exec, the line in raw mode (no echo,
// no line editing, no CR/LF translation), so bytes pass unchanged. Throws std::system_error.
Pty OpenPty();

}  // namespace varnel::sim
