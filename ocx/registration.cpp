// DllRegisterServer and DllUnregisterServer: the control's class, its ProgIDs, the property-page
// classes the automation table lists, and the type library. Unregistering removes every key that
// registering writes.
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "control/automation.h"
#include "control/surface.h"
#include "ocx/com_ptr.h"
#include "ocx/guids.h"
#include "ocx/module.h"
#include "ocx/text.h"

namespace varnel::ocx {

namespace {

std::wstring GuidText(const GUID& g) {
    wchar_t text[40];
    StringFromGUID2(g, text, 40);
    return text;
}

// "Varnel_OCX.Varnel" and "Varnel_OCX.Varnel.1": library and class name, then the library's
// major version.
std::wstring ProgId() {
    return WideOfAnsi(std::string(automation::kLibrary.name) + ".Varnel");
}
std::wstring VersionedProgId() {
    return ProgId() + L"." + std::to_wstring(automation::kLibrary.majorVersion);
}

std::wstring ClassKey(const GUID& clsid) {
    return L"CLSID\\" + GuidText(clsid);
}

SYSKIND LibrarySyskind() {
    return sizeof(void*) == 4 ? SYS_WIN32 : SYS_WIN64;
}

struct Value {
    std::wstring key;     // under HKEY_CLASSES_ROOT
    const wchar_t* name;  // nullptr: the key's default value
    std::wstring data;
};

// Everything registration writes, in order; the keys of the first level are removed again.
std::vector<Value> Values() {
    const std::wstring path = ModulePath();
    const std::wstring cls = ClassKey(ClsidVarnel());
    const std::wstring version = std::to_wstring(automation::kLibrary.majorVersion) + L"." +
                                 std::to_wstring(automation::kLibrary.minorVersion);
    std::vector<Value> v{
        {cls, nullptr, ProgId()},
        {cls + L"\\Control", nullptr, L""},
        {cls + L"\\InprocServer32", nullptr, path},
        {cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {cls + L"\\MiscStatus", nullptr, L"0"},
        {cls + L"\\MiscStatus\\1", nullptr, std::to_wstring(surface::kOleMiscStatus)},
        {cls + L"\\ProgID", nullptr, VersionedProgId()},
        {cls + L"\\VersionIndependentProgID", nullptr, ProgId()},
        {cls + L"\\ToolboxBitmap32", nullptr,
         path + L", " + std::to_wstring(surface::kToolboxBitmap.resourceId)},
        {cls + L"\\TypeLib", nullptr, GuidText(LibId())},
        {cls + L"\\Version", nullptr, version},
        {ProgId(), nullptr, ProgId()},
        {ProgId() + L"\\CLSID", nullptr, GuidText(ClsidVarnel())},
        {ProgId() + L"\\CurVer", nullptr, VersionedProgId()},
        {VersionedProgId(), nullptr, ProgId()},
        {VersionedProgId() + L"\\CLSID", nullptr, GuidText(ClsidVarnel())},
    };
    for (const automation::PageInfo& page : automation::kPages) {
        const std::wstring key = ClassKey(ToGuid(page.clsid));
        v.push_back(
            {key, nullptr, WideOfAnsi(std::string(automation::kLibrary.name) + "." + page.name)});
        v.push_back({key + L"\\InprocServer32", nullptr, path});
        v.push_back({key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
    }
    return v;
}

std::vector<std::wstring> TopKeys() {
    std::vector<std::wstring> keys{ClassKey(ClsidVarnel()), ProgId(), VersionedProgId()};
    for (const automation::PageInfo& page : automation::kPages)
        keys.push_back(ClassKey(ToGuid(page.clsid)));
    return keys;
}

HRESULT Write(const Value& value) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, value.key.c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = RegSetValueExW(key, value.name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.data.c_str()),
                            static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

HRESULT Unregister() {
    HRESULT result = S_OK;
    // The library may be registered already or still; it is unregistered by its id.
    const automation::LibraryInfo& lib = automation::kLibrary;
    const HRESULT hr =
        UnRegisterTypeLib(LibId(), lib.majorVersion, lib.minorVersion, lib.lcid, LibrarySyskind());
    if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED) result = hr;
    for (const std::wstring& key : TopKeys()) {
        // The key with everything under it.
        const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
            result = HRESULT_FROM_WIN32(status);
    }
    return result;
}

HRESULT Register() {
    for (const Value& value : Values()) {
        const HRESULT hr = Write(value);
        if (FAILED(hr)) return hr;
    }
    ComPtr<ITypeLib> library;
    std::wstring path = ModulePath();
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
    if (FAILED(hr)) return hr;
    return RegisterTypeLib(library.Get(), path.data(), nullptr);
}

}  // namespace

}  // namespace varnel::ocx

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const HRESULT hr = varnel::ocx::Register();
    if (FAILED(hr)) {
        varnel::ocx::Unregister();  // no half registration is left behind
        return hr;
    }
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return varnel::ocx::Unregister();
}
