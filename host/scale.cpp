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
    openFailureHandlers_.ForEach([&](const OpenFailureHandler& handler) {
        try {
            handler(copy);
        } catch (const AutomationError& e) {
            container_.EventError(e);
        } catch (const std::exception& e) {
            container_.EventError(
                AutomationError(err::kInternal, std::string("open failure handler: ") + e.what()));
        }
    });
}

}  // namespace varnel::host
