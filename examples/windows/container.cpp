// A minimal C++ container for Varnel.ocx: creates the control by ProgID, connects an event sink,
// opens the scale on the COM port given on the command line and prints each weight from the
// OnScaleComm handler while the thread runs its message loop.
//
//   container PORT [COUNT]          stops after COUNT weights, or runs until Ctrl+C
//
// Build: cl /EHsc container.cpp ole32.lib oleaut32.lib user32.lib
//        x86_64-w64-mingw32-g++ -o container.exe container.cpp -lole32 -loleaut32 -luuid
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

// The control's event interface (__Varnel) and its one event, OnScaleComm.
const IID kEvents = {0xA1434E86, 0x1002, 0x40C5, {0x93, 0x59, 0xED, 0x3D, 0x43, 0xBA, 0xB9, 0xC7}};
const DISPID kOnScaleComm = 1;

IDispatch* scale = nullptr;
int received = 0;

// A property of the control by name, or an empty VARIANT.
VARIANT Get(const wchar_t* name) {
    VARIANT v;
    VariantInit(&v);
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (SUCCEEDED(scale->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
        scale->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &v, nullptr,
                      nullptr);
    return v;
}

HRESULT Call(const wchar_t* name, WORD flags, VARIANT arg, VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = scale->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    if (SUCCEEDED(hr))
        hr = scale->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                           nullptr);
    return hr;
}

VARIANT Short(short value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I2;
    v.iVal = value;
    return v;
}

// The event sink: an IDispatch that answers for __Varnel.
class Sink : public IDispatch {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kEvents) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives as long as main
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        if (id != kOnScaleComm) return S_OK;
        VARIANT event = Get(L"ScaleCommEvent");
        VariantChangeType(&event, &event, 0, VT_I4);
        if (event.lVal == 1) {
            VARIANT text = Get(L"FormattedWt");
            VARIANT net = Get(L"NetWt");
            VariantChangeType(&net, &net, 0, VT_BSTR);
            std::printf("%ls (%ls g)\n", text.vt == VT_BSTR ? text.bstrVal : L"",
                        net.vt == VT_BSTR ? net.bstrVal : L"");
            std::fflush(stdout);
            ++received;
            VariantClear(&text);
            VariantClear(&net);
        } else if (event.lVal == 3) {
            std::printf("scale lost\n");
        } else if (event.lVal == 4) {
            std::printf("scale back\n");
        }
        return S_OK;
    }
};

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: container PORT [COUNT]\n");
        return 2;
    }
    const short port = static_cast<short>(std::atoi(argv[1]));
    const int wanted = argc > 2 ? std::atoi(argv[2]) : 0;

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the control's events need a message loop
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"Varnel_OCX.Varnel", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&scale));
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot create Varnel_OCX.Varnel: 0x%08lx\n", hr);
        return 1;
    }

    Sink sink;
    IConnectionPointContainer* points = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    hr = scale->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&points));
    if (SUCCEEDED(hr)) hr = points->FindConnectionPoint(kEvents, &point);
    if (SUCCEEDED(hr)) hr = point->Advise(&sink, &cookie);
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot connect to the control's events: 0x%08lx\n", hr);
        return 1;
    }

    VARIANT result;
    VariantInit(&result);
    Call(L"CommPort", DISPATCH_PROPERTYPUT, Short(port), nullptr);
    Call(L"NetWtUnits", DISPATCH_PROPERTYPUT, Short(2), nullptr);  // vnGrams
    hr = Call(L"ScaleOpen", DISPATCH_METHOD, Short(-1), &result);
    if (FAILED(hr)) {
        std::fprintf(stderr, "ScaleOpen failed: 0x%08lx\n", hr);
        return 1;
    }
    VariantChangeType(&result, &result, 0, VT_I4);
    if (result.lVal == 0) std::printf("COM%d not open yet; retrying\n", port);

    MSG msg;
    while ((wanted == 0 || received < wanted) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    Call(L"ScaleOpen", DISPATCH_METHOD, Short(0), nullptr);
    point->Unadvise(cookie);
    point->Release();
    points->Release();
    scale->Release();
    CoUninitialize();
    return 0;
}
