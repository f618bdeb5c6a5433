// A property page of the control (CommPort, Notify, Units) as a COM object: IPropertyPage2 over
// the page's portable model, with the model's widgets as Win32 child windows.
#pragma once

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <string_view>
#include <vector>

#include "control/errors.h"
#include "ocx/com_object.h"
#include "ocx/com_ptr.h"
#include "ocx/form_window.h"
#include "pages/property_pages.h"

namespace varnel::ocx {

class VarnelControl;

class PropertyPageObject final : public ComObject<IPropertyPage2> {
  public:
    // Creates the page named `name` ("CommPort", "Notify", "Units") and hands out iid.
    static HRESULT Create(std::string_view name, REFIID iid, void** out);

    // --- IPropertyPage ---
    HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) override;
    HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT rect, BOOL modal) override;
    HRESULT STDMETHODCALLTYPE Deactivate() override;
    HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) override;
    HRESULT STDMETHODCALLTYPE SetObjects(ULONG count, IUnknown** objects) override;
    HRESULT STDMETHODCALLTYPE Show(UINT command) override;
    HRESULT STDMETHODCALLTYPE Move(LPCRECT rect) override;
    HRESULT STDMETHODCALLTYPE IsPageDirty() override;
    HRESULT STDMETHODCALLTYPE Apply() override;
    HRESULT STDMETHODCALLTYPE Help(LPCOLESTR helpDir) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* msg) override;

    // --- IPropertyPage2 ---
    HRESULT STDMETHODCALLTYPE EditProperty(DISPID dispid) override;

  private:
    explicit PropertyPageObject(std::unique_ptr<pages::PropertyPage> model);
    ~PropertyPageObject() override;
    void* Find(REFIID iid) override;
    PropertyPageObject(const PropertyPageObject&) = delete;
    PropertyPageObject& operator=(const PropertyPageObject&) = delete;

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                       UINT_PTR id, DWORD_PTR self);

    // Runs a call of the model with the page and every selected control kept alive and each
    // control inside an Activity; an error comes back as an HRESULT with an error object.
    template <typename F>
    HRESULT ModelCall(F&& f);
    // Hands the current selection to the model, when no model call is running.
    void SyncSelection();
    // Loads the first selected control's value into the model and shows it.
    void Load();
    // Shows the model's value in the widget windows.
    void ShowModel();
    void OnCommand(int id, int code, HWND child);
    void OnStatusChange();
    // The widget window of the page's property: the text box, or the option shown selected.
    HWND PropertyWidget() const;

    std::unique_ptr<pages::PropertyPage> model_;
    ComPtr<IPropertyPageSite> site_;
    std::vector<ComPtr<VarnelControl>> objects_;
    int calls_ = 0;                // model calls running
    bool selectionStale_ = false;  // objects_ changed during a model call
    bool applying_ = false;
    AutomationError lastError_{0, ""};  // of the last model call that failed
    bool noOptionShown_ = false;        // the last load failed: no option button is checked
    bool showing_ = false;  // the page writes to its widgets; their notifications are its own

    HWND window_ = nullptr;
    HWND parent_ = nullptr;  // subclassed while active
    FormWidgets widgets_;
};

// Unregisters the pages' window class when the library is unloaded.
void UnregisterPageWindowClass();

}  // namespace varnel::ocx
