// DllRegisterServer and DllUnregisterServer: the values of the registry table
// (ocx/registry_table.h) and the type library. Unregistering removes every key registering
// writes, except what is not this registration's alone: on 64-bit Windows the 32- and the 64-bit
// file are registered side by side, each with its own class keys, but the ProgIDs and the type
// library's key are one for both; and a newer version may have taken a ProgID over.
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "control/automation.h"
#include "ocx/com_ptr.h"
#include "ocx/guids.h"
#include "ocx/module.h"
#include "ocx/registry_table.h"
#include "ocx/text.h"

namespace varnel::ocx {

namespace {

using registry::Entry;
using registry::Scope;

// The registry view of the other bitness; on 32-bit Windows there is one view, and the flag is
// ignored.
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

// An entry's data with the module path in place of its placeholder.
std::wstring Data(const Entry& e, const std::wstring& path) {
    const std::size_t at = e.data.find(registry::kModulePath);
    if (at == std::string::npos) return WideOfAnsi(e.data);
    return WideOfAnsi(e.data.substr(0, at)) + path +
           WideOfAnsi(e.data.substr(at + registry::kModulePath.size()));
}

HRESULT Write(const Entry& e, const std::wstring& path) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, WideOfAnsi(e.key).c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    const std::wstring data = Data(e, path);
    status = RegSetValueExW(key, e.name.empty() ? nullptr : WideOfAnsi(e.name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

// A value under HKEY_CLASSES_ROOT (the default value for an empty name), empty when it is not a
// string; nothing when the key or the value is missing.
std::optional<std::wstring> Read(const std::wstring& key, const std::wstring& name) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
        return std::nullopt;
    const wchar_t* value = name.empty() ? nullptr : name.c_str();
    DWORD size = 0, type = 0;
    LSTATUS status = RegQueryValueExW(k, value, nullptr, &type, nullptr, &size);
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (status == ERROR_SUCCESS)
        status =
            RegQueryValueExW(k, value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(k);
    if (status != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ) return std::wstring();
    data.resize(size / sizeof(wchar_t));
    while (!data.empty() && data.back() == L'\0')
        data.pop_back();
    return data;
}

bool KeyExists(const std::wstring& key, REGSAM view = 0) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE | view, &k) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A shared key is this registration's while every value the table lists under it that is there
// still holds what registering wrote: a CurVer naming another version's ProgID, or a ProgID
// naming another class, belongs to whoever wrote it.
bool StillOurs(const std::string& top, const std::vector<Entry>& entries,
               const std::wstring& path) {
    for (const Entry& e : entries) {
        if (registry::TopKey(e) != top) continue;
        const std::optional<std::wstring> now = Read(WideOfAnsi(e.key), WideOfAnsi(e.name));
        if (now && !SameText(*now, Data(e, path))) return false;
    }
    return true;
}

HRESULT DeleteTree(HKEY root, const std::wstring& key) {
    const LSTATUS status = RegDeleteTreeW(root, key.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                     : HRESULT_FROM_WIN32(status);
}

const wchar_t* SyskindName(SYSKIND k) {
    return k == SYS_WIN32 ? L"win32" : L"win64";
}

// The library's registration: TypeLib\{libid}\1.0\409 holds one subkey per platform (win32,
// win64), and RegisterTypeLib writes a key for each of its interfaces, which both platforms use.
// While the other platform's library stays registered only this platform's subkey goes; the
// last one out unregisters the library, interface keys and all.
HRESULT UnregisterTypeLibrary() {
    const automation::LibraryInfo& lib = automation::kLibrary;
    const SYSKIND ours = sizeof(void*) == 4 ? SYS_WIN32 : SYS_WIN64;
    const SYSKIND other = ours == SYS_WIN32 ? SYS_WIN64 : SYS_WIN32;
    wchar_t lcid[16];
    swprintf(lcid, 16, L"%x", static_cast<unsigned>(lib.lcid));
    const std::wstring key = L"TypeLib\\" + WideOfAnsi(registry::GuidText(lib.guid)) + L"\\" +
                             std::to_wstring(lib.majorVersion) + L"." +
                             std::to_wstring(lib.minorVersion) + L"\\" + lcid + L"\\";
    if (KeyExists(key + SyskindName(other)))
        return DeleteTree(HKEY_CLASSES_ROOT, key + SyskindName(ours));
    const HRESULT hr =
        UnRegisterTypeLib(LibId(), lib.majorVersion, lib.minorVersion, lib.lcid, ours);
    return FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED ? hr : S_OK;
}

HRESULT Unregister() {
    HRESULT result = UnregisterTypeLibrary();
    const std::vector<Entry> entries = registry::Entries();
    const std::wstring path = ModulePath();
    auto remove = [&](const std::string& top) {
        const HRESULT hr = DeleteTree(HKEY_CLASSES_ROOT, WideOfAnsi(top));
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    };
    // This view's keys first: on 32-bit Windows the other view is this one.
    std::vector<std::string> shared;
    for (const Entry& e : entries) {
        const std::string top = registry::TopKey(e);
        if (top != e.key) continue;
        if (e.scope == Scope::View) {
            remove(top);
        } else {
            shared.push_back(top);
        }
    }
    const std::wstring otherServer =
        WideOfAnsi(registry::ClassKey(*automation::FindType("Varnel")->guid)) + L"\\InprocServer32";
    if (KeyExists(otherServer, kOtherView)) return result;
    for (const std::string& top : shared) {
        if (StillOurs(top, entries, path)) remove(top);
    }
    return result;
}

HRESULT Register() {
    const std::wstring path = ModulePath();
    for (const Entry& e : registry::Entries()) {
        const HRESULT hr = Write(e, path);
        if (FAILED(hr)) return hr;
    }
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
    if (FAILED(hr)) return hr;
    std::wstring file = path;
    return RegisterTypeLib(library.Get(), file.data(), nullptr);
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
