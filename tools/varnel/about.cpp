// varnel about: the About dialog, as text.
#include <cstdio>

#include "host/scale.h"
#include "pages/about_dialog.h"
#include "tools/varnel/commands.h"

namespace varnel::cli {

int RunAbout() {
    posix::EventLoop loop;
    posix::Runtime runtime(loop, "/nonexistent");
    host::Scale scale(runtime);
    scale.Container().SetAboutBoxHandler([](pages::AboutDialog& dialog) {
        std::printf("%s\n", pages::AboutDialog::kCaption);
        for (const auto& w : pages::AboutDialog::Layout()) {
            const std::string text = dialog.CaptionOf(w.name, w.index);
            if (!text.empty()) std::printf("  %s\n", text.c_str());
        }
        dialog.cmdClose_Click();
    });
    scale->AboutBox();
    return 0;
}

}  // namespace varnel::cli
