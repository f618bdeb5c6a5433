// The control's container services (varnel::Container) over the COM site.
//
//   UserMode          the site's ambient UserMode (DISPID_AMBIENT_USERMODE), read at every use;
//                     True when there is no site or it does not answer.
//   PropertyChanged   IPropertyNotifySink::OnChanged with the property's dispatch id to every
//                     connected sink, and the control is marked dirty.
//   RaiseOnScaleComm  OnScaleComm (dispatch id 1) to every sink of __Varnel, synchronously;
//                     nothing while the container has frozen events.
//   SetOwnSize        the extent becomes the size; an in-place active control asks its site for
//                     the new rectangle (IOleInPlaceSite::OnPosRectChange), otherwise the site
//                     is asked to lay the object out again (RequestNewObjectLayout).
//   EventError        an error that escaped a receive event or a timer tick has no caller to go
//                     to: it is written to the debugger output (OutputDebugString) as
//                     "Varnel: error <number> in an event handler: <description>".
//   ShowAboutBox      the About dialog's window, modal, off the task bar (about_window.cpp).
#include <olectl.h>

#include <cstdio>

#include "control/automation.h"
#include "control/errors.h"
#include "control/varnel.h"
#include "ocx/about_window.h"
#include "ocx/com_variant.h"
#include "ocx/control.h"
#include "ocx/guids.h"
#include "pages/about_dialog.h"

namespace varnel::ocx {

bool VarnelControl::UserMode() {
    ComPtr<IDispatch> ambient;
    if (!site_ || FAILED(site_.As(IID_IDispatch, ambient))) return true;
    VARIANT value;
    VariantInit(&value);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const HRESULT hr = ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                                       DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    bool userMode = true;
    if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BOOL)))
        userMode = V_BOOL(&value) != VARIANT_FALSE;
    VariantClear(&value);
    return userMode;
}

void VarnelControl::PropertyChanged(std::string_view name) {
    dirty_ = true;
    if (released_) return;
    const DISPID id = automation::GetIDOfName(name);
    propertyNotify_.ForEach(
        [&](IUnknown& sink) { static_cast<IPropertyNotifySink&>(sink).OnChanged(id); });
}

void VarnelControl::RaiseOnScaleComm() {
    if (released_ || frozenEvents_ > 0) return;
    events_.ForEach([&](IUnknown& sink) {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        static_cast<IDispatch&>(sink).Invoke(automation::kDispIdOnScaleComm, IID_NULL,
                                             LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                                             nullptr, nullptr);
    });
}

void VarnelControl::SetOwnSize(float widthTwips, float heightTwips) {
    const SIZEL size = HimetricOfTwips(widthTwips, heightTwips);
    if (size.cx == extent_.cx && size.cy == extent_.cy) return;
    extent_ = size;
    if (site_ && !released_) {
        ComPtr<IOleInPlaceSite> inPlace;
        if (inPlaceActive_ && SUCCEEDED(site_.As(IID_IOleInPlaceSite, inPlace))) {
            // The rectangle keeps its corner.
            RECT r = position_;
            r.right = r.left + PixelsOfHimetric(size.cx, true);
            r.bottom = r.top + PixelsOfHimetric(size.cy, false);
            inPlace->OnPosRectChange(&r);
        } else {
            site_->RequestNewObjectLayout();
        }
    }
    SendViewChange();
}

ComponentVersion VarnelControl::Version() {
    const automation::VersionInfo& v = automation::kVersion;
    return ComponentVersion{v.major, v.minor, v.build, v.revision};
}

void VarnelControl::EventError(const AutomationError& error) {
    char line[512];
    std::snprintf(line, sizeof line, "Varnel: error %ld in an event handler: %s\n",
                  static_cast<long>(error.Number()), error.what());
    OutputDebugStringA(line);
}

void VarnelControl::ShowAboutBox(pages::AboutDialog& dialog) {
    ShowAboutWindow(dialog);
}

}  // namespace varnel::ocx
