// IObjectSafety: what a web page may do with the control.
//
// Initialising from the persisted properties (a page's <param> tags through IPersistPropertyBag,
// or the stream and storage forms) is safe, asked on those interfaces or on IDispatch: loading
// sets values and opens no port. Scripting is
// not safe in general: a page that may script the control may open the user's serial ports and
// start the port initialiser. So it is safe for scripting only on the pages an administrator
// lists in the registry value "ScriptingAllowedSites" under HKEY_LOCAL_MACHINE\Software\Varnel
// (the 64-bit view, read by both bitnesses): origins "scheme://host" or "scheme://host:port",
// http or https, as the strings of a REG_MULTI_SZ or separated by semicolons or blanks in a
// REG_SZ. An entry with a user name, a path other than "/", a query or a fragment is ignored.
// Without the value, without a page address, or when no entry matches,
// SetInterfaceSafetyOptions refuses INTERFACESAFE_FOR_UNTRUSTED_CALLER with E_FAIL.
//
// The page's address is the URL of the HTML document that holds the control, as the browser's
// document reports it: the client site's container (IOleClientSite::GetContainer) as
// IHTMLDocument2, its URL property read through the property's dispatch id. Internet Explorer
// and Edge's IE mode site the control of an <object> tag so, before they ask about safety
// (OLEMISC_SETCLIENTSITEFIRST). A control that a page's script creates (new ActiveXObject) gets
// no client site, so it is never safe for scripting. The control offers no IObjectWithSite:
// script engines hand their site only after asking about safety, and Wine's refuse to create
// an object that has the interface when their host offers no IServiceProvider (cscript,
// wscript).
//
// The address and the entries are read by the system's URL parser (CreateUri, the browser's
// own) and compared on scheme, host (whole, case-insensitively) and port (the scheme's default
// when none is given): no prefixes, no substrings.
#include <mshtmdid.h>
#include <mshtml.h>
#include <objbase.h>
#include <objsafe.h>
#include <shlwapi.h>
#include <urlmon.h>

#include <optional>
#include <string>
#include <vector>

#include "ocx/control.h"
#include "ocx/guids.h"

namespace varnel::ocx {

namespace {

constexpr wchar_t kPolicyKey[] = L"Software\\Varnel";
constexpr wchar_t kAllowedSitesValue[] = L"ScriptingAllowedSites";
constexpr DWORD kMaxListBytes = 64 * 1024;

struct Origin {
    DWORD scheme = 0;
    std::wstring host;
    DWORD port = 0;
};

std::wstring Part(IUri& uri, HRESULT (STDMETHODCALLTYPE IUri::*get)(BSTR*)) {
    BSTR text = nullptr;
    std::wstring out;
    if (SUCCEEDED((uri.*get)(&text)) && text) out.assign(text, SysStringLen(text));
    SysFreeString(text);
    return out;
}

// The origin of an http or https address. An allow-list entry must be an origin and nothing
// more.
std::optional<Origin> OriginOf(const std::wstring& address, bool entry) {
    ComPtr<IUri> uri;
    if (address.empty() ||
        FAILED(CreateUri(address.c_str(), Uri_CREATE_CANONICALIZE, 0, uri.Put())))
        return std::nullopt;
    Origin origin;
    if (FAILED(uri->GetScheme(&origin.scheme)) ||
        (origin.scheme != URL_SCHEME_HTTP && origin.scheme != URL_SCHEME_HTTPS) ||
        FAILED(uri->GetPort(&origin.port)))
        return std::nullopt;
    origin.host = Part(*uri.Get(), &IUri::GetHost);
    if (origin.host.empty()) return std::nullopt;
    if (entry) {
        const std::wstring path = Part(*uri.Get(), &IUri::GetPath);
        if (!Part(*uri.Get(), &IUri::GetUserInfo).empty() || (!path.empty() && path != L"/") ||
            !Part(*uri.Get(), &IUri::GetQuery).empty() ||
            !Part(*uri.Get(), &IUri::GetFragment).empty())
            return std::nullopt;
    }
    return origin;
}

bool SameOrigin(const Origin& a, const Origin& b) {
    return a.scheme == b.scheme && a.port == b.port &&
           CompareStringOrdinal(a.host.c_str(), static_cast<int>(a.host.size()), b.host.c_str(),
                                static_cast<int>(b.host.size()), TRUE) == CSTR_EQUAL;
}

// The administrator's list; empty when there is none.
std::vector<std::wstring> AllowedSites() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return {};
    DWORD type = 0, size = 0;
    std::wstring data;
    if (RegQueryValueExW(key, kAllowedSitesValue, nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_MULTI_SZ) && size <= kMaxListBytes) {
        data.assign(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, kAllowedSitesValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
            data.clear();
    }
    RegCloseKey(key);
    std::vector<std::wstring> sites;
    std::wstring current;
    for (const wchar_t c : data) {
        const bool separator =
            c == L'\0' || (type == REG_SZ && (c == L';' || c == L' ' || c == L'\t'));
        if (!separator) {
            current += c;
        } else if (!current.empty()) {
            sites.push_back(std::move(current));
            current.clear();
        }
    }
    return sites;
}

std::wstring UrlOf(IDispatch& document) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT url;
    VariantInit(&url);
    std::wstring out;
    if (SUCCEEDED(document.Invoke(DISPID_IHTMLDOCUMENT2_URL, IID_NULL, LOCALE_USER_DEFAULT,
                                  DISPATCH_PROPERTYGET, &none, &url, nullptr, nullptr)) &&
        V_VT(&url) == VT_BSTR && V_BSTR(&url))
        out.assign(V_BSTR(&url), SysStringLen(V_BSTR(&url)));
    VariantClear(&url);
    return out;
}

bool ScriptingAllowed(const std::wstring& page) {
    const std::optional<Origin> origin = OriginOf(page, false);
    if (!origin) return false;
    for (const std::wstring& site : AllowedSites()) {
        const std::optional<Origin> allowed = OriginOf(site, true);
        if (allowed && SameOrigin(*origin, *allowed)) return true;
    }
    return false;
}

enum class SafetyGroup { None, Dispatch, Persistence };

SafetyGroup GroupOf(REFIID iid) {
    if (iid == IID_IDispatch || iid == IidVarnel()) return SafetyGroup::Dispatch;
    if (iid == IID_IPersistPropertyBag || iid == IID_IPersistStreamInit ||
        iid == IID_IPersistStream || iid == IID_IPersistStorage)
        return SafetyGroup::Persistence;
    return SafetyGroup::None;
}

// Browsers ask about initialisation on IDispatch too (INTERFACESAFE_FOR_UNTRUSTED_DATA).
DWORD SupportedOptions(SafetyGroup group) {
    return group == SafetyGroup::Dispatch
               ? INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA
               : INTERFACESAFE_FOR_UNTRUSTED_DATA;
}

}  // namespace

std::wstring VarnelControl::PageAddress() {
    // The document in its dispatch view: IHTMLDocument2 is a dual interface.
    ComPtr<IOleContainer> container;
    ComPtr<IDispatch> document;
    if (!site_ || FAILED(site_->GetContainer(container.Put())) || !container ||
        FAILED(container->QueryInterface(IID_IHTMLDocument2, document.PutVoid())) || !document)
        return {};
    return UrlOf(*document.Get());
}

// --- IObjectSafety ---

HRESULT VarnelControl::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    *supported = *enabled = 0;
    const SafetyGroup group = GroupOf(iid);
    if (group == SafetyGroup::None) return E_NOINTERFACE;
    *supported = SupportedOptions(group);
    *enabled = group == SafetyGroup::Dispatch ? callerSafety_ : dataSafety_;
    return S_OK;
}

HRESULT VarnelControl::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) {
    const SafetyGroup group = GroupOf(iid);
    if (group == SafetyGroup::None) return E_NOINTERFACE;
    const DWORD wanted = mask & enabled;
    if (wanted & ~SupportedOptions(group)) return E_FAIL;
    if ((wanted & INTERFACESAFE_FOR_UNTRUSTED_CALLER) && !ScriptingAllowed(PageAddress()))
        return E_FAIL;
    DWORD& options = group == SafetyGroup::Dispatch ? callerSafety_ : dataSafety_;
    options = (options & ~mask) | wanted;
    return S_OK;
}

}  // namespace varnel::ocx
