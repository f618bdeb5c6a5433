// What registering Varnel.ocx writes under HKEY_CLASSES_ROOT, as data: DllRegisterServer writes
// these values, DllUnregisterServer removes their keys, and a program of the build can print
// them. The type library's keys are RegisterTypeLib's and are not listed. Portable: no
// operating-system headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/automation.h"

namespace varnel::ocx::registry {

// Where a key lives on 64-bit Windows.
enum class Scope : std::uint8_t {
    View,    // one per bitness: HKCR\CLSID (the 32-bit view's is under Wow6432Node)
    Shared,  // one for both bitnesses: the ProgIDs
};

// Stands for the full path of the registered file in Entry::data.
inline constexpr std::string_view kModulePath = "<module>";

struct Entry {
    Scope scope;
    std::string key;   // under HKEY_CLASSES_ROOT
    std::string name;  // empty: the key's default value
    std::string data;  // a REG_SZ value
};

// In the order they are written; every key's parent comes before it.
std::vector<Entry> Entries();

// "Varnel_OCX.Varnel" and "Varnel_OCX.Varnel.1": library and class name, then the library's
// major version.
std::string ProgId();
std::string VersionedProgId();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and "CLSID\{...}".
std::string GuidText(const automation::Guid& g);
std::string ClassKey(const automation::Guid& clsid);

// The key whose tree an entry belongs to: "CLSID\{...}" or the ProgID.
std::string TopKey(const Entry& e);

}  // namespace varnel::ocx::registry
