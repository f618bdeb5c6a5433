#include "host/scale.h"

#include <exception>

namespace varnel::host {

void Scale::OnOpen(const posix::OpenFailure* failure) {
    if (!failure) {
        lastOpenFailure_.reset();
        return;
    }
    lastOpenFailure_ = *failure;
    const posix::OpenFailure copy = *failure;  // a handler may trigger the next report
    for (std::size_t i = 0, n = openFailureHandlers_.size(); i < n; ++i) {
        try {
            openFailureHandlers_[i](copy);
        } catch (const AutomationError& e) {
            container_.EventError(e);
        } catch (const std::exception& e) {
            container_.EventError(
                AutomationError(err::kInternal, std::string("open failure handler: ") + e.what()));
        }
    }
}

}  // namespace varnel::host
