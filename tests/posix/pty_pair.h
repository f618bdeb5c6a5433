// A pseudo-terminal pair for tests: the test writes the scale's side on the master, the control
// opens the slave by its path.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace varnel::testing {

class PtyPair {
  public:
    PtyPair() {
        int slave = -1;
        char name[128] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        path_ = name;
        ::close(slave);  // the control opens the slave itself
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return path_; }
    int Master() const { return master_; }
    void Write(std::string_view bytes) const {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("short write to the pseudo-terminal");
        }
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::string path_;
};

}  // namespace varnel::testing
