// Which device a port number opens: a path bound to the number, else <system dir>/com<n> when it
// exists (usually a symbolic link to the device), else /dev/ttyS<n-1>.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace varnel::posix {

class PortResolver {
  public:
    explicit PortResolver(std::string systemDir) : systemDir_(std::move(systemDir)) {}

    void Bind(std::int16_t port, std::string path) { bindings_[port] = std::move(path); }
    void Unbind(std::int16_t port) { bindings_.erase(port); }
    // Resolved afresh for every opening, so a re-pointed link is followed.
    std::string Resolve(std::int16_t port) const;
    const std::string& SystemDir() const { return systemDir_; }

  private:
    std::string systemDir_;
    std::map<std::int16_t, std::string> bindings_;
};

// $VARNEL_SYSTEM_DIR when set and not empty, else /var/lib/varnel.
std::string DefaultSystemDir();

}  // namespace varnel::posix
