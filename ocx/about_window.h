// The About dialog's window: frmAbout rendered from its layout and shown modally.
#pragma once

#include <windows.h>

namespace varnel::pages {
class AboutDialog;
}

namespace varnel::ocx {

// Shows the loaded dialog modally and returns once the dialog has been unloaded (Close or the
// title-bar close box). The modal loop dispatches every message of the thread, so the control's
// timers and receive events go on. Raises an error when the window cannot be created (no
// desktop).
void ShowAboutWindow(pages::AboutDialog& dialog);

}  // namespace varnel::ocx
