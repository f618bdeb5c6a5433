// varnel_msi_rows: the registry rows of the Windows Installer package, at build time. They are
// what registering both files writes: the registry table's values (ocx/registry_table.h), which
// DllRegisterServer writes, and the keys RegisterTypeLib writes for the type library, read from
// the library itself. Three WiX include files of RegistryValue elements:
//
//   registry64.wxi  the 64-bit view's classes and interfaces, the versioned ProgID, the library
//   registry32.wxi  the 32-bit view's classes and interfaces
//   progid.wxi      the version-independent ProgID, which a later version takes over
//
//   varnel_msi_rows --tlb FILE --module64 TEXT --module32 TEXT --helpdir TEXT --out DIR
//
// The module and folder texts are the package's formatted references to the installed files
// ("[#Varnel64]"), written where the table has its module placeholder.
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "control/automation.h"
#include "ocx/com_ptr.h"
#include "ocx/registry_table.h"
#include "ocx/text.h"

namespace {

using varnel::ocx::ComPtr;
namespace registry = varnel::ocx::registry;

struct Row {
    std::string key, name, value;
};

std::string Utf8(const wchar_t* text) {
    if (!text || !*text) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<std::size_t>(n - 1));
    return s;
}

std::string Xml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The first row is the key path of its component when the component has no file.
bool WriteInclude(const std::string& path, const std::vector<Row>& rows, bool keyPath) {
    std::ofstream out(path, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- Written by varnel_msi_rows from the registration table and the type library. "
           "-->\n<Include>\n";
    for (const Row& r : rows) {
        out << "  <RegistryValue Root=\"HKCR\" Key=\"" << Xml(r.key) << "\"";
        if (!r.name.empty()) out << " Name=\"" << Xml(r.name) << "\"";
        out << " Type=\"string\" Value=\"" << Xml(r.value) << "\"";
        if (keyPath && &r == &rows.front()) out << " KeyPath=\"yes\"";
        out << "/>\n";
    }
    out << "</Include>\n";
    return static_cast<bool>(out.flush());
}

std::string WithModule(const std::string& data, const std::string& module) {
    const std::size_t at = data.find(registry::kModulePath);
    if (at == std::string::npos) return data;
    return data.substr(0, at) + module + data.substr(at + registry::kModulePath.size());
}

// RegisterTypeLib's keys: the library under TypeLib, with one platform subkey per file (shared by
// both views), and one key per interface that automation marshals (per view).
struct LibraryRows {
    std::vector<Row> library;
    std::vector<Row> interfaces;
};

bool ReadLibrary(const std::wstring& tlb, const std::string& module64, const std::string& module32,
                 const std::string& helpdir, LibraryRows& rows, std::string& error) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, lib.Put());
    if (FAILED(hr)) {
        error = "cannot load the type library";
        return false;
    }
    TLIBATTR* attr = nullptr;
    if (FAILED(lib->GetLibAttr(&attr))) {
        error = "no library attributes";
        return false;
    }
    wchar_t guid[40];
    StringFromGUID2(attr->guid, guid, 40);
    const std::string libid = Utf8(guid);
    const std::string version =
        std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum);
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%lx", static_cast<unsigned long>(attr->lcid));
    const std::string flags = std::to_string(attr->wLibFlags);
    lib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr;
    lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    const std::string description = Utf8(doc ? doc : name);
    SysFreeString(name);
    SysFreeString(doc);

    const std::string key = "TypeLib\\" + libid + "\\" + version;
    rows.library = {
        {key, "", description},
        {key + "\\" + lcid + "\\win32", "", module32},
        {key + "\\" + lcid + "\\win64", "", module64},
        {key + "\\FLAGS", "", flags},
        {key + "\\HELPDIR", "", helpdir},
    };

    const UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        ComPtr<ITypeInfo> info;
        if (FAILED(lib->GetTypeInfo(i, info.Put()))) continue;
        TYPEATTR* type = nullptr;
        if (FAILED(info->GetTypeAttr(&type))) continue;
        const bool marshalled =
            type->typekind == TKIND_DISPATCH ||
            (type->typekind == TKIND_INTERFACE && (type->wTypeFlags & TYPEFLAG_FOLEAUTOMATION));
        // Dual and oleautomation interfaces go through the universal marshaller, pure
        // dispinterfaces through IDispatch's proxy.
        const char* proxy = type->typekind == TKIND_INTERFACE || (type->wTypeFlags & TYPEFLAG_FDUAL)
                                ? "{00020424-0000-0000-C000-000000000046}"
                                : "{00020420-0000-0000-C000-000000000046}";
        StringFromGUID2(type->guid, guid, 40);
        info->ReleaseTypeAttr(type);
        if (!marshalled) continue;
        BSTR typeName = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr);
        const std::string iface = "Interface\\" + Utf8(guid);
        rows.interfaces.push_back({iface, "", Utf8(typeName)});
        rows.interfaces.push_back({iface + "\\ProxyStubClsid", "", proxy});
        rows.interfaces.push_back({iface + "\\ProxyStubClsid32", "", proxy});
        rows.interfaces.push_back({iface + "\\TypeLib", "", libid});
        rows.interfaces.push_back({iface + "\\TypeLib", "Version", version});
        SysFreeString(typeName);
    }
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: varnel_msi_rows --tlb FILE --module64 TEXT --module32 TEXT "
                 "--helpdir TEXT --out DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args;
    for (int i = 1; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    for (const char* need : {"--tlb", "--module64", "--module32", "--helpdir", "--out"})
        if (args[need].empty()) return Usage();
    if (argc % 2 == 0 || args.size() != 5) return Usage();

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    LibraryRows lib;
    std::string error;
    if (!ReadLibrary(varnel::ocx::WideOfAnsi(args["--tlb"]), args["--module64"], args["--module32"],
                     args["--helpdir"], lib, error)) {
        std::fprintf(stderr, "varnel_msi_rows: %s: %s\n", args["--tlb"].c_str(), error.c_str());
        return 1;
    }

    std::vector<Row> view64, view32, progid;
    const std::string independent = registry::ProgId();
    for (const registry::Entry& e : registry::Entries()) {
        if (e.scope == registry::Scope::View) {
            view64.push_back({e.key, e.name, WithModule(e.data, args["--module64"])});
            view32.push_back({e.key, e.name, WithModule(e.data, args["--module32"])});
        } else if (registry::TopKey(e) == independent) {
            progid.push_back({e.key, e.name, e.data});
        } else {
            view64.push_back({e.key, e.name, e.data});
        }
    }
    view64.insert(view64.end(), lib.interfaces.begin(), lib.interfaces.end());
    view32.insert(view32.end(), lib.interfaces.begin(), lib.interfaces.end());
    view64.insert(view64.end(), lib.library.begin(), lib.library.end());

    const std::string dir = args["--out"] + "/";
    for (const auto& [file, rows] :
         {std::pair{"registry64.wxi", &view64}, std::pair{"registry32.wxi", &view32},
          std::pair{"progid.wxi", &progid}}) {
        if (!WriteInclude(dir + file, *rows, rows == &progid)) {
            std::fprintf(stderr, "varnel_msi_rows: cannot write %s%s\n", dir.c_str(), file);
            return 1;
        }
    }
    return 0;
}
