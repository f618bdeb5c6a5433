// varnel form show|get|set: a form file's saved settings, edited through the property pages.
#include <strings.h>
#include <cstdio>

#include "host/form_editor.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/output.h"
#include "tools/varnel/units.h"

namespace varnel::cli {

namespace {

std::string ValueText(const Variant& v) {
    return v.Type() == VarType::Str ? JsonString(*v.Str()) : v.ToStr();
}

void PrintEntry(const host::FormEntry& e) {
    std::printf("%-15s %-8s %-14s %-7s %s\n", e.key.c_str(), VarTypeName(e.value.Type()),
                ValueText(e.value).c_str(), e.stored ? "stored" : "default", e.page ? e.page : "-");
}

// The units and policy names every command accepts (kg, ounces, ...) as the option's index; any
// other value goes to the page as it is (index, enum name or caption).
std::string OptionValue(const std::string& key, const std::string& value) {
    const auto first = value.find_first_not_of(" \t");
    const auto last = value.find_last_not_of(" \t");
    const std::string name =
        first == std::string::npos ? "" : value.substr(first, last - first + 1);
    if (::strcasecmp(key.c_str(), "NetWtUnits") == 0) {
        if (auto units = ParseUnits(name)) return std::to_string(*units);
    } else if (::strcasecmp(key.c_str(), "WtNotification") == 0) {
        if (auto notify = ParseNotify(name)) return std::to_string(*notify);
    }
    return value;
}

}  // namespace

int RunForm(const FormOptions& o) {
    try {
        if (o.action == "show") {
            const std::vector<host::FormEntry> entries = host::ShowForm(o.file);  // may fail
            std::printf("%-15s %-8s %-14s %-7s %s\n", "KEY", "TYPE", "VALUE", "IN FILE", "PAGE");
            for (const auto& e : entries)
                PrintEntry(e);
        } else if (o.action == "get") {
            std::printf("%s\n", ValueText(host::GetFormValue(o.file, o.key).value).c_str());
        } else {
            const host::FormEntry e =
                host::SetFormValue(o.file, o.key, OptionValue(o.key, o.value));
            std::printf("%s = %s\n", e.key.c_str(), ValueText(e.value).c_str());
        }
    } catch (const host::FormError& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace varnel::cli
