// A script host for running examples/windows under Wine, whose cscript implements neither
// WScript.Sleep nor the event binding of WScript.CreateObject: the part of the Windows Script
// Host's WScript object those scripts use (Arguments, Echo, Quit, Sleep, CreateObject with an
// event prefix), over the system's VBScript and JScript engines.
//
//   script_host SCRIPT.vbs|SCRIPT.js [ARGS...]
//
// Exit code: WScript.Quit's, else 0, or 1 after a script error (printed to stderr).
#include <activscp.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// IActiveScriptParse's id for this bitness (mingw's libuuid lacks the 64-bit one).
#ifdef _WIN64
const IID kIidParse = {
    0xC7EF7658, 0xE1EE, 0x480E, {0x97, 0xEA, 0xD5, 0x2C, 0xB4, 0xD7, 0x6D, 0x17}};
#else
const IID kIidParse = {
    0xBB1A2AE2, 0xA4F9, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
#endif

int exitCode = 0;
IActiveScript* engine = nullptr;

std::string Narrow(const wchar_t* text) {
    if (!text) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

std::wstring Wide(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring s(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), s.data(), n);
    return s;
}

// An IDispatch whose members are named by a list and answered by Call.
class Object : public IDispatch {
  public:
    explicit Object(std::vector<const wchar_t*> names) : names_(std::move(names)) {}
    virtual ~Object() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || Extra(iid)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (std::size_t k = 0; k < names_.size() && i == 0; ++k)
                if (!_wcsicmp(names[i], names_[k])) ids[i] = static_cast<DISPID>(k + 1);
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        // Arguments in the order written (DISPPARAMS holds them last first).
        std::vector<VARIANT*> args;
        for (UINT i = params->cArgs; i > 0; --i)
            args.push_back(&params->rgvarg[i - 1]);
        VARIANT ignored;
        VariantInit(&ignored);
        const HRESULT hr = Call(id, flags, args, result ? result : &ignored);
        VariantClear(&ignored);
        return hr;
    }

  protected:
    virtual bool Extra(REFIID) { return false; }
    virtual HRESULT Call(DISPID id, WORD flags, const std::vector<VARIANT*>& args,
                         VARIANT* result) = 0;

  private:
    std::vector<const wchar_t*> names_;
    ULONG refs_ = 1;
};

HRESULT Text(VARIANT* v, std::wstring& out) {
    VARIANT s;
    VariantInit(&s);
    const HRESULT hr = VariantChangeType(&s, v, VARIANT_ALPHABOOL, VT_BSTR);
    if (SUCCEEDED(hr)) out.assign(s.bstrVal, SysStringLen(s.bstrVal));
    VariantClear(&s);
    return hr;
}

class Arguments : public Object {
  public:
    explicit Arguments(std::vector<std::wstring> args)
        : Object({L"Item", L"Count", L"length"}), args_(std::move(args)) {}

  protected:
    HRESULT Call(DISPID id, WORD, const std::vector<VARIANT*>& args, VARIANT* result) override {
        if (id == DISPID_VALUE || id == 1) {
            if (args.size() != 1) return DISP_E_BADPARAMCOUNT;
            VARIANT index;
            VariantInit(&index);
            if (FAILED(VariantChangeType(&index, args[0], 0, VT_I4))) return DISP_E_TYPEMISMATCH;
            if (index.lVal < 0 || static_cast<std::size_t>(index.lVal) >= args_.size())
                return DISP_E_BADINDEX;
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(args_[static_cast<std::size_t>(index.lVal)].c_str());
            return S_OK;
        }
        result->vt = VT_I4;
        result->lVal = static_cast<LONG>(args_.size());
        return S_OK;
    }

  private:
    std::vector<std::wstring> args_;
};

// Passes a source's events to the script's functions named prefix + event name.
class EventSink : public Object {
  public:
    EventSink(IID iid, ITypeInfo* events, std::wstring prefix)
        : Object({}), iid_(iid), events_(events), prefix_(std::move(prefix)) {
        events_->AddRef();
    }
    ~EventSink() override { events_->Release(); }

  protected:
    bool Extra(REFIID iid) override { return iid == iid_; }
    HRESULT Call(DISPID id, WORD, const std::vector<VARIANT*>&, VARIANT*) override {
        BSTR name = nullptr;
        UINT n = 0;
        if (FAILED(events_->GetNames(id, &name, 1, &n)) || n == 0) return S_OK;
        std::wstring handler = prefix_ + name;
        SysFreeString(name);
        IDispatch* script = nullptr;
        if (FAILED(engine->GetScriptDispatch(nullptr, &script))) return S_OK;
        LPOLESTR names[] = {handler.data()};
        DISPID handlerId = 0;
        if (SUCCEEDED(script->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &handlerId))) {
            DISPPARAMS none = {nullptr, nullptr, 0, 0};
            script->Invoke(handlerId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                           nullptr, nullptr, nullptr);
        }
        script->Release();
        return S_OK;
    }

  private:
    IID iid_;
    ITypeInfo* events_;
    std::wstring prefix_;
};

// Connects the object's default source interface to the script's functions named prefix_Event.
HRESULT ConnectEvents(IDispatch* object, const std::wstring& prefix) {
    IProvideClassInfo* provider = nullptr;
    HRESULT hr = object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider));
    if (FAILED(hr)) return hr;
    ITypeInfo* coclass = nullptr;
    hr = provider->GetClassInfo(&coclass);
    provider->Release();
    if (FAILED(hr)) return hr;
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    ITypeInfo* events = nullptr;
    for (UINT i = 0; i < attr->cImplTypes && !events; ++i) {
        INT implFlags = 0;
        HREFTYPE ref = 0;
        coclass->GetImplTypeFlags(i, &implFlags);
        if ((implFlags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
            (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
            continue;
        if (SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)))
            coclass->GetRefTypeInfo(ref, &events);
    }
    coclass->ReleaseTypeAttr(attr);
    coclass->Release();
    if (!events) return E_NOINTERFACE;
    TYPEATTR* eventAttr = nullptr;
    events->GetTypeAttr(&eventAttr);
    const IID iid = eventAttr->guid;
    events->ReleaseTypeAttr(eventAttr);

    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    hr =
        object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (SUCCEEDED(hr)) {
        hr = container->FindConnectionPoint(iid, &point);
        container->Release();
    }
    if (SUCCEEDED(hr)) {
        // The connection lasts as long as the process.
        EventSink* sink = new EventSink(iid, events, prefix);
        DWORD cookie = 0;
        hr = point->Advise(sink, &cookie);
        sink->Release();
        point->Release();
    }
    events->Release();
    return hr;
}

void Sleep(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

class WScript : public Object {
  public:
    explicit WScript(std::vector<std::wstring> args)
        : Object({L"Echo", L"Arguments", L"CreateObject", L"Sleep", L"Quit"}),
          arguments_(new Arguments(std::move(args))) {}
    ~WScript() override { arguments_->Release(); }

  protected:
    HRESULT Call(DISPID id, WORD, const std::vector<VARIANT*>& args, VARIANT* result) override {
        switch (id) {
            case 1: {  // Echo
                std::wstring line, part;
                for (VARIANT* a : args) {
                    if (FAILED(Text(a, part))) return DISP_E_TYPEMISMATCH;
                    line += (line.empty() ? L"" : L" ") + part;
                }
                std::printf("%s\n", Narrow(line.c_str()).c_str());
                std::fflush(stdout);
                return S_OK;
            }
            case 2:  // Arguments; Arguments(i) comes here with its index
                if (!args.empty()) {
                    DISPPARAMS index = {args[0], nullptr, 1, 0};
                    return arguments_->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                              &index, result, nullptr, nullptr);
                }
                result->vt = VT_DISPATCH;
                result->pdispVal = arguments_;
                arguments_->AddRef();
                return S_OK;
            case 3: {  // CreateObject
                std::wstring progid, prefix;
                if (args.empty() || FAILED(Text(args[0], progid))) return DISP_E_BADPARAMCOUNT;
                if (args.size() > 1 && FAILED(Text(args[1], prefix))) return DISP_E_TYPEMISMATCH;
                CLSID clsid;
                HRESULT hr = CLSIDFromProgID(progid.c_str(), &clsid);
                IDispatch* object = nullptr;
                if (SUCCEEDED(hr))
                    hr =
                        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                         IID_IDispatch, reinterpret_cast<void**>(&object));
                if (SUCCEEDED(hr) && !prefix.empty()) hr = ConnectEvents(object, prefix);
                if (FAILED(hr)) {
                    if (object) object->Release();
                    return hr;
                }
                result->vt = VT_DISPATCH;
                result->pdispVal = object;
                return S_OK;
            }
            case 4: {  // Sleep
                VARIANT ms;
                VariantInit(&ms);
                if (args.size() != 1 || FAILED(VariantChangeType(&ms, args[0], 0, VT_UI4)))
                    return DISP_E_TYPEMISMATCH;
                Sleep(ms.ulVal);
                return S_OK;
            }
            case 5: {  // Quit
                VARIANT code;
                VariantInit(&code);
                if (!args.empty() && SUCCEEDED(VariantChangeType(&code, args[0], 0, VT_I4)))
                    exitCode = code.lVal;
                std::fflush(stdout);
                ExitProcess(static_cast<UINT>(exitCode));
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

  private:
    Arguments* arguments_;
};

class Site : public IActiveScriptSite {
  public:
    explicit Site(IDispatch* wscript) : wscript_(wscript) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IActiveScriptSite) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** info) override {
        if (info) *info = nullptr;
        if (_wcsicmp(name, L"WScript")) return TYPE_E_ELEMENTNOTFOUND;
        if (mask & SCRIPTINFO_IUNKNOWN) {
            *item = wscript_;
            wscript_->AddRef();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
        EXCEPINFO info = {};
        DWORD context = 0;
        ULONG line = 0;
        LONG column = 0;
        error->GetExceptionInfo(&info);
        error->GetSourcePosition(&context, &line, &column);
        if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
        std::fprintf(stderr, "script error at line %lu: %s (0x%08lx)\n",
                     static_cast<unsigned long>(line + 1), Narrow(info.bstrDescription).c_str(),
                     static_cast<unsigned long>(info.scode ? info.scode : info.wCode));
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
        exitCode = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

  private:
    IDispatch* wscript_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: script_host SCRIPT.vbs|SCRIPT.js [ARGS...]\n");
        return 2;
    }
    const std::string path = argv[1];
    const bool vbs = path.size() > 4 && !_stricmp(path.c_str() + path.size() - 4, ".vbs");
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "script_host: cannot read %s\n", path.c_str());
        return 2;
    }
    std::vector<std::wstring> args;
    for (int i = 2; i < argc; ++i)
        args.push_back(Wide(argv[i]));

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(vbs ? L"VBScript" : L"JScript", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                              reinterpret_cast<void**>(&engine));
    IActiveScriptParse* parse = nullptr;
    if (SUCCEEDED(hr)) hr = engine->QueryInterface(kIidParse, reinterpret_cast<void**>(&parse));
    if (FAILED(hr)) {
        std::fprintf(stderr, "script_host: no script engine (0x%08lx)\n",
                     static_cast<unsigned long>(hr));
        return 2;
    }
    WScript* wscript = new WScript(std::move(args));
    Site site(wscript);
    engine->SetScriptSite(&site);
    parse->InitNew();
    engine->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
    const std::wstring code = Wide(text.str());
    EXCEPINFO info = {};
    hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE,
                                nullptr, &info);
    if (SUCCEEDED(hr)) hr = engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    if (FAILED(hr)) exitCode = 1;
    engine->Close();
    parse->Release();
    engine->Release();
    wscript->Release();
    CoUninitialize();
    std::fflush(stdout);
    return exitCode;
}
