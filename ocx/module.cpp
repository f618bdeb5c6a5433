// DllMain, DllGetClassObject, DllCanUnloadNow and the class factory of the control and of its
// property pages.
#include "ocx/module.h"

#include <objbase.h>

#include <atomic>
#include <new>

#include "control/automation.h"
#include "ocx/com_object.h"
#include "ocx/control.h"
#include "ocx/guids.h"
#include "ocx/property_page.h"

namespace varnel::ocx {

namespace {

HINSTANCE module = nullptr;
std::atomic<long> objects{0};
std::atomic<long> locks{0};

// Makes one object of the class: (what the class names, iid, out).
using CreateFunction = HRESULT (*)(const char* name, REFIID iid, void** out);

class ClassFactory final : public ComObject<IClassFactory> {
  public:
    ClassFactory(CreateFunction create, const char* name) : create_(create), name_(name) {
        ObjectCreated();
    }
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(name_, iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            Lock();
        } else {
            Unlock();
        }
        return S_OK;
    }

  private:
    ~ClassFactory() override { ObjectDestroyed(); }
    void* Find(REFIID iid) override {
        return iid == IID_IUnknown || iid == IID_IClassFactory ? static_cast<IClassFactory*>(this)
                                                               : nullptr;
    }
    CreateFunction create_;
    const char* name_;
};

HRESULT CreateControl(const char*, REFIID iid, void** out) {
    return VarnelControl::Create(iid, out);
}

HRESULT CreatePage(const char* name, REFIID iid, void** out) {
    return PropertyPageObject::Create(name, iid, out);
}

}  // namespace

HINSTANCE Module() {
    return module;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void ObjectCreated() {
    ++objects;
}
void ObjectDestroyed() {
    --objects;
}
void Lock() {
    ++locks;
}
void Unlock() {
    --locks;
}
bool CanUnload() {
    return objects == 0 && locks == 0;
}

}  // namespace varnel::ocx

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        varnel::ocx::module = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        // Unloaded while the process goes on: a class left registered would point into freed
        // code.
        UnregisterClassW(varnel::ocx::kFaceWindowClass, instance);
        varnel::ocx::UnregisterPageWindowClass();
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    using namespace varnel::ocx;
    CreateFunction create = nullptr;
    const char* name = nullptr;
    if (clsid == ClsidVarnel()) {
        create = CreateControl;
    } else {
        for (const varnel::automation::PageInfo& page : varnel::automation::kPages) {
            if (clsid == ToGuid(page.clsid)) {
                create = CreatePage;
                name = page.name;
            }
        }
    }
    if (!create) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) ClassFactory(create, name);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return varnel::ocx::CanUnload() ? S_OK : S_FALSE;
}
