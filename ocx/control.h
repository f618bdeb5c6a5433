// The Varnel control as a COM object: one Varnel and the Win32 runtime it runs on, behind the
// interfaces an ActiveX container uses. The object is its own container layer (varnel::Container
// over the client site). Its interfaces are implemented in one file per group:
//
//   control.cpp          IUnknown, lifetime, IProvideClassInfo2, ISupportErrorInfo,
//                        ISpecifyPropertyPages, ICategorizeProperties, IConnectionPointContainer
//   dispatch.cpp         IDispatch from the type library, and the dual interface _Varnel
//   persistence.cpp      IPersistPropertyBag, IPersistStreamInit, IPersistStorage
//   ole_object.cpp       IOleObject, IOleControl, IOleInPlaceObject, IViewObject2
//   safety.cpp           IObjectSafety
//   site_container.cpp   the varnel::Container services over the client site
//   guarded_components.cpp  the hosted components as the control sees them
#pragma once

#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <memory>
#include <string>

#include "control/container.h"
#include "ocx/com_ptr.h"
#include "ocx/connection_point.h"
#include "ocx/varnel_com.h"

namespace varnel {
class Varnel;
namespace win32 {
class Runtime;
}
}  // namespace varnel

namespace varnel::ocx {

class VarnelControl final : public IVarnel,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public IPersistPropertyBag,
                            public IPersistStreamInit,
                            public IPersistStorage,
                            public IOleObject,
                            public IOleControl,
                            public IOleInPlaceObject,
                            public IViewObject2,
                            public ISpecifyPropertyPages,
                            public ICategorizeProperties,
                            public ISupportErrorInfo,
                            public IObjectSafety,
                            private Container {
  public:
    // Creates a control (with its runtime on the calling thread) and hands out iid.
    static HRESULT Create(REFIID iid, void** out);

    // A call into the control: from the host through an interface, or from the runtime (a
    // received character, a timer tick). The last Release during a call leaves the object alive
    // until the outermost call has returned, so that a host may let go of the control inside its
    // own event handler.
    class Activity {
      public:
        explicit Activity(VarnelControl& control) : control_(control) { ++control_.depth_; }
        ~Activity();
        Activity(const Activity&) = delete;
        Activity& operator=(const Activity&) = delete;

      private:
        VarnelControl& control_;
    };
    // The host has released the control; its destruction waits for the running call to end.
    bool Released() const { return released_; }

    // The control object behind one of its interfaces, with a new reference; nullptr when the
    // object is not a control of this library. Asks for a private interface id that only
    // VarnelControl answers.
    static VarnelControl* FromUnknown(IUnknown* object);
    // The control's state and logic, for the property pages (under an Activity).
    Varnel& Core() { return *varnel_; }

    // --- IUnknown ---
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // --- IDispatch ---
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override;

    // --- _Varnel ---
    HRESULT STDMETHODCALLTYPE AboutBox() override;
    HRESULT STDMETHODCALLTYPE ScaleOpen(short* connectassert, short* result) override;
    HRESULT STDMETHODCALLTYPE get_CommID(long* result) override;
    HRESULT STDMETHODCALLTYPE put_CommID(long New_CommID) override;
    HRESULT STDMETHODCALLTYPE get_CommPort(short* result) override;
    HRESULT STDMETHODCALLTYPE put_CommPort(short New_CommPort) override;
    HRESULT STDMETHODCALLTYPE get_WtNotification(VN_NOTIFY_ENUM* result) override;
    HRESULT STDMETHODCALLTYPE put_WtNotification(VN_NOTIFY_ENUM New_WtNotification) override;
    HRESULT STDMETHODCALLTYPE get_NetWtUnits(VN_UOM_ENUM* result) override;
    HRESULT STDMETHODCALLTYPE put_NetWtUnits(VN_UOM_ENUM New_NetWtUnits) override;
    HRESULT STDMETHODCALLTYPE get_ScaleCommEvent(short* result) override;
    HRESULT STDMETHODCALLTYPE get_RawWtUnits(short* result) override;
    HRESULT STDMETHODCALLTYPE get_RawWt(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_FormattedWt(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_ScaleStatus(short* result) override;
    HRESULT STDMETHODCALLTYPE get_NetWt(VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE get_ConnectStatus(short* result) override;
    HRESULT STDMETHODCALLTYPE ControlVersion(BSTR* result) override;

    // --- IConnectionPointContainer ---
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    // --- IProvideClassInfo2 ---
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override;
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override;

    // --- IPersist, IPersistPropertyBag, IPersistStreamInit ---
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(LPSTREAM stream) override;
    HRESULT STDMETHODCALLTYPE Save(LPSTREAM stream, BOOL clearDirty) override;
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override;

    // --- IPersistStorage: the stream's data as the storage's stream "Contents" ---
    HRESULT STDMETHODCALLTYPE InitNew(IStorage* storage) override;
    HRESULT STDMETHODCALLTYPE Load(IStorage* storage) override;
    HRESULT STDMETHODCALLTYPE Save(IStorage* storage, BOOL sameAsLoad) override;
    HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage* storage) override;
    HRESULT STDMETHODCALLTYPE HandsOffStorage() override;

    // --- IOleObject ---
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override;
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
    HRESULT STDMETHODCALLTYPE Close(DWORD saveOption) override;
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD which, IMoniker* moniker) override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** out) override;
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* data, BOOL creation,
                                           DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD reserved, IDataObject** out) override;
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index,
                                     HWND parent, LPCRECT rect) override;
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** out) override;
    HRESULT STDMETHODCALLTYPE Update() override;
    HRESULT STDMETHODCALLTYPE IsUpToDate() override;
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* type) override;
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* connection) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD connection) override;
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** out) override;
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* palette) override;

    // --- IOleControl ---
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override;
    HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* msg) override;
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID id) override;
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL freeze) override;

    // --- IOleWindow, IOleInPlaceObject ---
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enter) override;
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE UIDeactivate() override;
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT position, LPCRECT clip) override;
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;

    // --- IViewObject, IViewObject2 ---
    HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG index, void* aspectInfo,
                                   DVTARGETDEVICE* device, HDC targetDc, HDC dc, LPCRECTL bounds,
                                   LPCRECTL window, BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR),
                                   ULONG_PTR contArg) override;
    HRESULT STDMETHODCALLTYPE GetColorSet(DWORD aspect, LONG index, void* aspectInfo,
                                          DVTARGETDEVICE* device, HDC targetDc,
                                          LOGPALETTE** colors) override;
    HRESULT STDMETHODCALLTYPE Freeze(DWORD aspect, LONG index, void* aspectInfo,
                                     DWORD* freeze) override;
    HRESULT STDMETHODCALLTYPE Unfreeze(DWORD freeze) override;
    HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device,
                                        LPSIZEL size) override;

    // --- ISpecifyPropertyPages ---
    HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;

    // --- ICategorizeProperties ---
    HRESULT STDMETHODCALLTYPE MapPropertyToCategory(DISPID dispid, PROPCAT* category) override;
    HRESULT STDMETHODCALLTYPE GetCategoryName(PROPCAT category, LCID lcid, BSTR* name) override;

    // --- ISupportErrorInfo ---
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // --- IObjectSafety ---
    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                        DWORD* enabled) override;
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, DWORD mask,
                                                        DWORD enabled) override;

  private:
    VarnelControl();
    ~VarnelControl();
    VarnelControl(const VarnelControl&) = delete;
    VarnelControl& operator=(const VarnelControl&) = delete;

    // --- Container (site_container.cpp) ---
    bool UserMode() override;
    void PropertyChanged(std::string_view name) override;
    void RaiseOnScaleComm() override;
    void SetOwnSize(float widthTwips, float heightTwips) override;
    ComponentVersion Version() override;
    void EventError(const AutomationError& error) override;
    void ShowAboutBox(pages::AboutDialog& dialog) override;

    // Runs a call of the host on the control: an Activity, errors as HRESULTs with error
    // objects for _Varnel.
    template <typename F>
    HRESULT Call(F&& f);
    // The type information of _Varnel: its dispatch view and its function-table view.
    HRESULT LoadTypeInfo();
    // The extent changed (by the host): the control's resize handler runs.
    void Resized(SIZEL extent);
    void SendViewChange();
    // Creates, moves or destroys the face window: it exists while the control is in-place active
    // in design mode.
    void UpdateFaceWindow();
    void MarkDirty() { dirty_ = true; }
    // The port is open or a timer runs: the link is in use or being retried.
    bool LinkInUse() const;
    // DoVerb(OLEIVERB_PROPERTIES): the container's property frame, or the system's for the
    // control's pages, owned by the site's window.
    HRESULT ShowProperties(IOleClientSite* site, HWND parent);
    // Loads the control from data in the stream format; whole: the data must fill the stream.
    void LoadStream(IStream& in, bool whole);
    void SaveStream(IStream& out);
    // The address of the page the control sits on (safety.cpp); empty when there is none.
    std::wstring PageAddress();

    std::atomic<long> refs_{1};
    int depth_ = 0;
    bool released_ = false;

    std::unique_ptr<win32::Runtime> runtime_;
    std::unique_ptr<Varnel> varnel_;
    // The hosted components, owned by varnel_.
    CommComponent* comm_ = nullptr;
    Timer* reconnect_ = nullptr;
    Timer* commTimeout_ = nullptr;
    ComPtr<ITypeLib> library_;
    ComPtr<ITypeInfo> dispatchInfo_;
    ComPtr<ITypeInfo> vtableInfo_;

    ConnectionPoint events_;
    ConnectionPoint propertyNotify_;

    ComPtr<IOleClientSite> site_;
    ComPtr<IOleAdviseHolder> oleAdvise_;
    ComPtr<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewFlags_ = 0;
    SIZEL extent_{};  // HIMETRIC
    bool inPlaceActive_ = false;
    RECT position_{};  // in the container's window, pixels
    HWND faceWindow_ = nullptr;
    bool dirty_ = false;
    int frozenEvents_ = 0;

    // IPersistStorage's states: InitNew or Load leads to Normal; Save to NoScribble until
    // SaveCompleted; HandsOffStorage lets go of the storage until SaveCompleted hands one back.
    enum class StorageState { Uninitialized, Normal, NoScribble, HandsOff };
    StorageState storageState_ = StorageState::Uninitialized;
    ComPtr<IStorage> storage_;

    // IObjectSafety's options in force: for the dispatch interfaces, for the persistence ones.
    DWORD callerSafety_ = 0;
    DWORD dataSafety_ = 0;
};

// The extent of a size in twips, in HIMETRIC units (0.01 mm), rounded to the nearest unit.
SIZEL HimetricOfTwips(float widthTwips, float heightTwips);
// Between HIMETRIC units and the screen's pixels, across or down.
LONG PixelsOfHimetric(LONG himetric, bool across);
LONG HimetricOfPixels(LONG pixels, bool across);

}  // namespace varnel::ocx
