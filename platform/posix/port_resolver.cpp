#include "platform/posix/port_resolver.h"

#include <sys/stat.h>

#include <cstdlib>

namespace varnel::posix {

std::string PortResolver::Resolve(std::int16_t port) const {
    if (auto it = bindings_.find(port); it != bindings_.end()) return it->second;
    std::string dir = systemDir_;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    const std::string link = dir + "com" + std::to_string(port);
    struct stat st {};
    if (!systemDir_.empty() && ::lstat(link.c_str(), &st) == 0) return link;
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::string DefaultSystemDir() {
    const char* env = std::getenv("VARNEL_SYSTEM_DIR");
    if (env && *env) return env;
    return "/var/lib/varnel";
}

}  // namespace varnel::posix
