// The size rule and the hosted components' design-time state.
#include "control/surface.h"

#include <string>

#include "control/varnel.h"

namespace varnel {

static_assert(std::string_view(surface::kCommSettings) == kLineSettings);

void surface::ApplyCommDesignSettings(CommComponent& comm) {
    comm.SetSettings(kCommSettings);
}

void Varnel::UserControl_Resize() {
    // A container that answers a size change with another resize call ends here instead of in
    // an endless chain.
    if (resizing_) return;
    resizing_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{resizing_};
    container_.SetOwnSize(surface::kFaceWidthTwips, surface::kFaceHeightTwips);
}

}  // namespace varnel
