// A pseudo-terminal pair for tests: the test writes the scale's side on the master, the control
// opens the slave by its path.
#pragma once

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/sim/pty.h"

namespace varnel::testing {

class PtyPair {
  public:
    PtyPair() : pty_(sim::OpenPty()) {}

    const std::string& SlavePath() const { return pty_.slavePath(); }
    int Master() const { return pty_.master(); }
    void Write(std::string_view bytes) const {
        if (::write(Master(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("short write to the pseudo-terminal");
        }
    }
    // The device goes away, as when a cable is pulled.
    void CloseMaster() { pty_ = sim::Pty(); }

  private:
    sim::Pty pty_;
};

}  // namespace varnel::testing
