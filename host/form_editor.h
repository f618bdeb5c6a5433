// The operations behind `varnel form show|get|set` and `varnel monitor --form`: a control's saved
// settings in a JSON form file (host/json_form_bag.h), read and edited through the same control
// and property-page logic a designer uses. Errors are FormError; nothing is printed.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "control/variant.h"
#include "host/json_form_bag.h"

namespace varnel {

class Varnel;

namespace host {

struct FormEntry {
    std::string key;   // as the control saves it, e.g. "NetWtUnits"
    Variant value;     // what a control loaded from the form saves under the key
    bool stored;       // the value differs from its default, so the file holds it
    const char* page;  // the property page that edits it, or nullptr (not editable)
};

// Every key a control saves, in saving order, as a control loaded from the file saves them.
// "CommID" and "PortOpen" are not loaded from a form; they show the design-time values.
std::vector<FormEntry> ShowForm(const std::filesystem::path& file);

// One key of ShowForm, named without regard to case.
FormEntry GetFormValue(const std::filesystem::path& file, std::string_view key);

// Loads the form into a control in design mode (a new instance when the file does not exist),
// sets the property page's widget for `key` from `value` as a user would, applies the page and
// saves the control back to the file. CommPort takes any text its page accepts (" 2 ", "3.5");
// WtNotification and NetWtUnits take an option's index, enum name ("vnGrams" or "Grams") or
// caption. Only those three keys can be set. On any error the file is left as it was.
FormEntry SetFormValue(const std::filesystem::path& file, std::string_view key,
                       std::string_view value);

// Loads the form into a control just created by its host (instead of InitProperties).
void LoadForm(const std::filesystem::path& file, Varnel& control);

// Saves a control into the form file, keeping the properties the control does not know. An
// existing file that is not a valid form is not overwritten.
void SaveForm(const std::filesystem::path& file, Varnel& control);

// The name of the page that edits a saved key ("CommPort", "Notify", "Units"), or nullptr.
const char* PageFor(std::string_view key);

}  // namespace host
}  // namespace varnel
