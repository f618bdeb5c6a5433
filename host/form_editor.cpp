#include "host/form_editor.h"

#include <cctype>
#include <cmath>
#include <memory>

#include "control/automation.h"
#include "control/errors.h"
#include "control/null_system.h"
#include "control/persistence.h"
#include "control/surface.h"
#include "control/varnel.h"
#include "pages/about_dialog.h"
#include "pages/property_pages.h"

namespace varnel::host {

namespace {

namespace fs = std::filesystem;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// --- A control in design mode with components that touch nothing outside ---

// The serial-port component's stored state; it opens no port.
class StoredComm : public CommComponent {
  public:
    std::int32_t CommID() override { return commId_; }
    void SetCommID(std::int32_t v) override { commId_ = v; }
    std::int16_t CommPort() override { return port_; }
    void SetCommPort(std::int16_t v) override {
        if (v < 1) throw AutomationError(comm::kErrInvalidPortNumber, "Invalid Port Number");
        port_ = v;
    }
    bool DTREnable() override { return false; }
    void SetDTREnable(bool) override {}
    std::int32_t Handshaking() override { return 0; }
    void SetHandshaking(std::int32_t) override {}
    std::int16_t InBufferCount() override { return 0; }
    void SetInBufferCount(std::int16_t) override { RequireOpen(); }
    std::int16_t InputLen() override { return inputLen_; }
    void SetInputLen(std::int16_t v) override { inputLen_ = v; }
    std::int16_t OutBufferCount() override { return 0; }
    void SetOutBufferCount(std::int16_t) override { RequireOpen(); }
    bool PortOpen() override { return false; }
    void SetPortOpen(bool open) override {
        if (open) throw AutomationError(comm::kErrDeviceUnavailable, "A form opens no port");
    }
    bool RTSEnable() override { return false; }
    void SetRTSEnable(bool) override {}
    std::string Settings() override { return settings_; }
    void SetSettings(const std::string& v) override { settings_ = v; }
    std::string Input() override {
        RequireOpen();
        return {};
    }
    std::int16_t CommEvent() override { return 0; }
    void SetOnComm(std::function<void()>) override {}

  private:
    static void RequireOpen() {
        throw AutomationError(comm::kErrPortOpenOnly, "Operation valid only when the port is open");
    }
    std::int32_t commId_ = 0;
    std::int16_t port_ = 1;
    std::int16_t inputLen_ = 0;
    std::string settings_;
};

class IdleTimer : public Timer {
  public:
    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    std::int32_t Interval() const override { return interval_; }
    void SetInterval(std::int32_t ms) override { interval_ = ms; }
    void SetOnTick(std::function<void()>) override {}

  private:
    bool enabled_ = false;
    std::int32_t interval_ = 0;
};

class DesignContainer : public Container {
  public:
    bool UserMode() override { return false; }
    void PropertyChanged(std::string_view) override {}
    void RaiseOnScaleComm() override {}
    void SetOwnSize(float, float) override {}
    ComponentVersion Version() override { return {}; }
    void EventError(const AutomationError&) override {}
    void ShowAboutBox(pages::AboutDialog& dialog) override { dialog.Unload(); }
};

struct DesignControl {
    DesignContainer container;
    NullSystem system;
    std::unique_ptr<Varnel> control;

    DesignControl() {
        auto comm = std::make_unique<StoredComm>();
        surface::ApplyCommDesignSettings(*comm);
        control = std::make_unique<Varnel>(
            container, system,
            HostedComponents{std::move(comm), std::make_unique<IdleTimer>(),
                             std::make_unique<IdleTimer>()});
    }
};

// Remembers the last key read, to name it in errors.
class TrackingBag : public PropertyBag {
  public:
    explicit TrackingBag(PropertyBag& inner) : inner_(inner) {}
    std::string lastKey;
    Variant Read(std::string_view key, const Variant& defaultValue) override {
        lastKey = key;
        return inner_.Read(key, defaultValue);
    }
    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override {
        lastKey = key;
        inner_.Write(key, value, defaultValue);
    }

  private:
    PropertyBag& inner_;
};

// Collects what a control saves, default or not.
class CaptureBag : public PropertyBag {
  public:
    std::vector<FormEntry> entries;
    Variant Read(std::string_view, const Variant& defaultValue) override { return defaultValue; }
    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override {
        entries.push_back(
            FormEntry{std::string(key), value, !value.ValueEquals(defaultValue), PageFor(key)});
    }
};

void ReadInto(const fs::path& file, JsonFormBag& bag, Varnel& control) {
    TrackingBag tracking(bag);
    try {
        control.ReadProperties(tracking);
    } catch (const AutomationError& e) {
        throw FormError(file.string() + ": " + e.Description(), tracking.lastKey, e.Number());
    }
}

void WriteFrom(const fs::path& file, JsonFormBag& bag, Varnel& control) {
    TrackingBag tracking(bag);
    try {
        control.WriteProperties(tracking);
    } catch (const AutomationError& e) {
        throw FormError(file.string() + ": " + e.Description(), tracking.lastKey, e.Number());
    }
}

bool FileExists(const fs::path& file) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(file, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        throw FormError("cannot read form file " + Quoted(file.string()) + ": " + ec.message());
    return fs::exists(status);
}

const persistence::SavedKey& SavedKeyNamed(std::string_view key) {
    if (const persistence::SavedKey* k = persistence::FindSavedKey(key, true)) return *k;
    std::string known;
    for (const persistence::SavedKey& k : persistence::kSavedKeys)
        known += (known.empty() ? "" : ", ") + std::string(k.key);
    throw FormError("unknown property " + Quoted(key) + " (a form holds " + known + ")",
                    std::string(key));
}

std::vector<FormEntry> Entries(const fs::path& file) {
    JsonFormBag bag = JsonFormBag::Load(file);
    DesignControl d;
    ReadInto(file, bag, *d.control);
    CaptureBag capture;
    d.control->WriteProperties(capture);
    return capture.entries;
}

FormEntry EntryOf(std::vector<FormEntry> entries, std::string_view key) {
    for (FormEntry& e : entries) {
        if (e.key == key) return std::move(e);
    }
    throw FormError("the control did not save " + Quoted(key));
}

// The option of an option group that `value` names: its index, its enum member's name with or
// without the "vn" prefix, or its caption, compared without regard to case.
std::int16_t OptionNamed(const pages::PropertyPage& page, const char* group, const char* enumName,
                         std::int16_t count, std::string_view value, const std::string& key) {
    const std::string_view v = TrimBlanks(value);
    std::string choices;
    for (std::int16_t i = 0; i < count; ++i) {
        const char* member = nullptr;
        for (const automation::EnumMember& m : automation::kEnumMembers) {
            if (std::string_view(m.enumName) == enumName && m.value == i) member = m.name;
        }
        const pages::WidgetDef* option = pages::FindWidget(page.Layout(), group, i);
        const std::string_view caption = option && option->caption ? option->caption : "";
        if (member && (EqualsNoCase(v, member) || EqualsNoCase("vn" + std::string(v), member)))
            return i;
        if (!caption.empty() && EqualsNoCase(v, caption)) return i;
        choices += (choices.empty() ? "" : ", ") + std::to_string(i) + " or " +
                   (member ? member : "?") + " (" + std::string(caption) + ")";
    }
    if (auto n = ParseNumber(v); n && std::floor(*n) == *n && *n >= 0 && *n < count)
        return static_cast<std::int16_t>(*n);
    throw FormError("property " + Quoted(key) + ": " + Quoted(value) + " is not an option of the " +
                        page.Name() + " page: " + choices,
                    key);
}

}  // namespace

const char* PageFor(std::string_view key) {
    for (const automation::PageInfo& info : automation::kPages) {
        auto page = pages::CreatePage(info.name);
        if (page && key == page->Property()) return info.name;
    }
    return nullptr;
}

std::vector<FormEntry> ShowForm(const fs::path& file) {
    return Entries(file);
}

FormEntry GetFormValue(const fs::path& file, std::string_view key) {
    const persistence::SavedKey& k = SavedKeyNamed(key);
    return EntryOf(Entries(file), k.key);
}

FormEntry SetFormValue(const fs::path& file, std::string_view key, std::string_view value) {
    const persistence::SavedKey& k = SavedKeyNamed(key);
    const std::string name = k.key;
    const char* pageName = PageFor(name);
    if (!pageName) {
        throw FormError(
            "property " + Quoted(name) +
                (k.loaded ? " is read-only: no property page edits it"
                          : " belongs to the serial-port component and is not loaded from a form"),
            name);
    }

    const FormFileLock lock(file);  // no other edit between the read and the save
    JsonFormBag bag;
    DesignControl d;
    if (FileExists(file)) {
        bag = JsonFormBag::Load(file);
        ReadInto(file, bag, *d.control);
    } else {
        d.control->InitProperties();
    }

    std::unique_ptr<pages::PropertyPage> page = pages::CreatePage(pageName);
    page->SelectedControls = {d.control.get()};
    // A value the page has no option for shows no option; the edit below then always applies.
    bool shown = true;
    try {
        page->SelectionChanged();
    } catch (const AutomationError&) {
        shown = false;
    }
    if (auto* commPort = dynamic_cast<pages::CommPortPage*>(page.get())) {
        commPort->txtCommPort.SetText(value);
    } else if (auto* notify = dynamic_cast<pages::NotifyPage*>(page.get())) {
        notify->optNotify.Select(OptionNamed(*page, "optNotify", "VN_NOTIFY_ENUM", 2, value, name));
    } else if (auto* units = dynamic_cast<pages::UnitsPage*>(page.get())) {
        units->optUnits.Select(OptionNamed(*page, "optUnits", "VN_UOM_ENUM", 4, value, name));
    }
    if (page->Changed() || !shown) {
        try {
            page->ApplyChanges();
        } catch (const AutomationError& e) {
            throw FormError(file.string() + ": property " + Quoted(name) + ": cannot set " +
                                Quoted(value) + ": " + e.Description(),
                            name, e.Number());
        }
        page->SetChanged(false);
    }

    WriteFrom(file, bag, *d.control);
    bag.Save(file);
    CaptureBag capture;
    d.control->WriteProperties(capture);
    return EntryOf(std::move(capture.entries), name);
}

void LoadForm(const fs::path& file, Varnel& control) {
    JsonFormBag bag = JsonFormBag::Load(file);
    ReadInto(file, bag, control);
}

void SaveForm(const fs::path& file, Varnel& control) {
    const FormFileLock lock(file);
    JsonFormBag bag;
    if (FileExists(file)) bag = JsonFormBag::Load(file);
    WriteFrom(file, bag, control);
    bag.Save(file);
}

}  // namespace varnel::host
