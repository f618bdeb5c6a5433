#include "ocx/registry_table.h"

#include "control/surface.h"

namespace varnel::ocx::registry {

std::string ProgId() {
    return std::string(automation::kLibrary.name) + ".Varnel";
}

std::string VersionedProgId() {
    return ProgId() + "." + std::to_string(automation::kLibrary.majorVersion);
}

std::string GuidText(const automation::Guid& g) {
    return "{" + automation::ToString(g) + "}";
}

std::string ClassKey(const automation::Guid& clsid) {
    return "CLSID\\" + GuidText(clsid);
}

std::string TopKey(const Entry& e) {
    const std::string_view key = e.key;
    const std::size_t skip = key.starts_with("CLSID\\") ? 6 : 0;
    return std::string(key.substr(0, key.find('\\', skip)));
}

std::vector<Entry> Entries() {
    using enum Scope;
    const automation::LibraryInfo& lib = automation::kLibrary;
    const std::string clsid = GuidText(*automation::FindType("Varnel")->guid);
    const std::string cls = "CLSID\\" + clsid;
    const std::string module(kModulePath);
    std::vector<Entry> v{
        {View, cls, "", ProgId()},
        {View, cls + "\\Control", "", ""},
        {View, cls + "\\InprocServer32", "", module},
        {View, cls + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {View, cls + "\\MiscStatus", "", "0"},
        {View, cls + "\\MiscStatus\\1", "", std::to_string(surface::kOleMiscStatus)},
        {View, cls + "\\ProgID", "", VersionedProgId()},
        {View, cls + "\\VersionIndependentProgID", "", ProgId()},
        {View, cls + "\\ToolboxBitmap32", "",
         module + ", " + std::to_string(surface::kToolboxBitmap.resourceId)},
        {View, cls + "\\TypeLib", "", GuidText(lib.guid)},
        {View, cls + "\\Version", "",
         std::to_string(lib.majorVersion) + "." + std::to_string(lib.minorVersion)},
        {Shared, ProgId(), "", ProgId()},
        {Shared, ProgId() + "\\CLSID", "", clsid},
        {Shared, ProgId() + "\\CurVer", "", VersionedProgId()},
        {Shared, VersionedProgId(), "", ProgId()},
        {Shared, VersionedProgId() + "\\CLSID", "", clsid},
    };
    for (const automation::PageInfo& page : automation::kPages) {
        const std::string key = ClassKey(page.clsid);
        v.push_back({View, key, "", std::string(lib.name) + "." + page.name});
        v.push_back({View, key + "\\InprocServer32", "", module});
        v.push_back({View, key + "\\InprocServer32", "ThreadingModel", "Apartment"});
    }
    return v;
}

}  // namespace varnel::ocx::registry
