// Initialising, loading and saving the control's properties.
#include "control/persistence.h"

#include <cctype>

#include "control/errors.h"
#include "control/varnel.h"

namespace varnel {

namespace persistence {

const SavedKey* FindSavedKey(std::string_view key, bool ignoreCase) {
    for (const SavedKey& k : kSavedKeys) {
        const std::string_view name = k.key;
        if (name.size() != key.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < key.size() && same; ++i) {
            same = ignoreCase ? std::tolower(static_cast<unsigned char>(name[i])) ==
                                    std::tolower(static_cast<unsigned char>(key[i]))
                              : name[i] == key[i];
        }
        if (same) return &k;
    }
    return nullptr;
}

}  // namespace persistence

namespace {

const persistence::SavedKey& Key(std::string_view name) {
    return *persistence::FindSavedKey(name);
}

// Runs one step for a key; an automation error leaves with the key named in its description.
template <typename Step>
void AtKey(const char* key, Step&& step) {
    try {
        step();
    } catch (const AutomationError& e) {
        throw AutomationError(e.Number(), e.Description() + " (property \"" + key + "\")");
    }
}

}  // namespace

void Varnel::InitProperties() {
    m_ScaleCommEvent = 0;
    m_RawWtUnits = 0;
    m_RawWt.clear();
    m_FormattedWt.clear();
    m_ScaleStatus = 0;
    m_WtNotification = vnEverytime;
    m_NetWtUnits = vnPounds;
    m_NetWt = 0.0f;
    m_ConnectStatus = 0;
}

void Varnel::ReadProperties(PropertyBag& bag) {
    auto read = [&bag](const char* key) { return bag.Read(key, persistence::DefaultOf(Key(key))); };
    AtKey("CommPort", [&] { MSComm1.SetCommPort(read("CommPort").ToI2()); });
    AtKey("ScaleCommEvent", [&] { m_ScaleCommEvent = read("ScaleCommEvent").ToI2(); });
    AtKey("RawWtUnits", [&] { m_RawWtUnits = read("RawWtUnits").ToI2(); });
    AtKey("RawWt", [&] { m_RawWt = read("RawWt").ToStr(); });
    AtKey("FormattedWt", [&] { m_FormattedWt = read("FormattedWt").ToStr(); });
    AtKey("ScaleStatus", [&] { m_ScaleStatus = read("ScaleStatus").ToI2(); });
    AtKey("WtNotification",
          [&] { m_WtNotification = static_cast<VN_NOTIFY_ENUM>(read("WtNotification").ToI4()); });
    AtKey("NetWtUnits",
          [&] { m_NetWtUnits = static_cast<VN_UOM_ENUM>(read("NetWtUnits").ToI4()); });
    AtKey("NetWt", [&] { m_NetWt = read("NetWt").ToR4(); });
    AtKey("ConnectStatus", [&] { m_ConnectStatus = read("ConnectStatus").ToI2(); });
}

void Varnel::WriteProperties(PropertyBag& bag) {
    // Each value is taken inside the step of its key, so that a failing component access ends
    // the save at that key too.
    auto write = [&bag](const char* key, auto&& value) {
        AtKey(key, [&] { bag.Write(key, value(), persistence::DefaultOf(Key(key))); });
    };
    write("CommID", [&] { return Variant(MSComm1.CommID()); });
    write("CommPort", [&] { return Variant(MSComm1.CommPort()); });
    write("PortOpen", [&] { return Variant::Boolean(MSComm1.PortOpen()); });
    write("ScaleCommEvent", [&] { return Variant(m_ScaleCommEvent); });
    write("RawWtUnits", [&] { return Variant(m_RawWtUnits); });
    write("RawWt", [&] { return Variant(m_RawWt); });
    write("FormattedWt", [&] { return Variant(m_FormattedWt); });
    write("ScaleStatus", [&] { return Variant(m_ScaleStatus); });
    write("WtNotification", [&] { return Variant(static_cast<std::int32_t>(m_WtNotification)); });
    write("NetWtUnits", [&] { return Variant(static_cast<std::int32_t>(m_NetWtUnits)); });
    write("NetWt", [&] { return Variant(m_NetWt); });
    write("ConnectStatus", [&] { return Variant(m_ConnectStatus); });
}

}  // namespace varnel
