// The GUIDs of the automation table as the platform's GUID values.
#pragma once

#include <objbase.h>

#include "control/automation.h"

namespace varnel::ocx {

inline GUID ToGuid(const automation::Guid& g) {
    GUID r;
    r.Data1 = g.data1;
    r.Data2 = g.data2;
    r.Data3 = g.data3;
    for (int i = 0; i < 8; ++i)
        r.Data4[i] = g.data4[static_cast<std::size_t>(i)];
    return r;
}

// The GUID of a type of the library, by name ("Varnel", "_Varnel", "__Varnel", ...).
inline GUID TypeGuid(const char* typeName) {
    return ToGuid(*automation::FindType(typeName)->guid);
}

inline const GUID& LibId() {
    static const GUID g = ToGuid(automation::kLibrary.guid);
    return g;
}
inline const GUID& ClsidVarnel() {
    static const GUID g = TypeGuid("Varnel");
    return g;
}
inline const GUID& IidVarnel() {
    static const GUID g = TypeGuid("_Varnel");
    return g;
}
inline const GUID& DiidVarnelEvents() {
    static const GUID g = TypeGuid("__Varnel");
    return g;
}

}  // namespace varnel::ocx
