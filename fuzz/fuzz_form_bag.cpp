// Arbitrary text as a form file: the loader must refuse it with a FormError or accept it; an
// accepted form saves and reads back the same, loads into a control or fails with an automation
// error naming the key, and a loaded control survives saving, loading and the property pages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control/errors.h"
#include "host/json_form_bag.h"
#include "pages/property_pages.h"
#include "tests/fakes/harness.h"
#include "tests/support/control_state.h"

using namespace varnel;
using namespace varnel::testing;
using host::FormError;
using host::JsonFormBag;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    JsonFormBag bag;
    try {
        bag = JsonFormBag::Parse(text, "fuzz");
    } catch (const FormError&) {
        return 0;
    }

    // What is accepted is written back as a form with the same entries.
    const std::string saved = bag.Serialize();
    if (saved.size() <= host::kMaxFormFileBytes)
        Check(JsonFormBag::Parse(saved).Entries() == bag.Entries());

    Harness h;
    h.comm->record = false;
    h.container.userMode = false;
    try {
        h.ctl->ReadProperties(bag);
    } catch (const AutomationError& e) {
        Check(e.Description().find("(property \"") != std::string::npos);
        return 0;
    }
    const State loaded = StateOf(*h.ctl);

    // Saved and loaded again, the control reads the same.
    JsonFormBag out;
    h.ctl->WriteProperties(out);
    Harness again;
    again.ctl->ReadProperties(out);
    Check(StateOf(*again.ctl) == loaded);

    // A page loaded and applied without an edit writes the value it showed back.
    for (const char* name : {"CommPort", "Notify", "Units"}) {
        auto page = pages::CreatePage(name);
        page->SelectedControls = {h.ctl.get()};
        try {
            page->SelectionChanged();
        } catch (const AutomationError&) {
            continue;  // a value the page has no option for
        }
        page->ApplyChanges();
        Check(StateOf(*h.ctl) == loaded);
    }
    return 0;
}
