// IPersistPropertyBag, IPersistStreamInit and IPersistStorage over the control's own saving and
// loading.
//
// A property bag gets the control's keys through an adapter (ComPropertyBag); a stream gets the
// same keys in the format of ocx/stream_format.h. Loading stops at the first value that does not
// convert, with the control's error (its number and the key in its description); the keys
// before it stay applied and the control stays usable. A stream that is truncated or malformed
// is refused before anything is applied.
//
// A storage holds the control's class id (WriteClassStg) and the stream format as its stream
// "Contents", which the data must fill exactly. A storage of another class, without that stream,
// or whose stream is truncated, longer than its data or malformed is refused with error 321
// before anything is applied, and the control stays uninitialised. The states follow OLE:
// InitNew or Load once (then CO_E_ALREADYINITIALIZED); Save in the normal state only, then no
// Save until SaveCompleted; HandsOffStorage releases the storage until SaveCompleted hands one
// back (E_INVALIDARG without one); any other order answers E_UNEXPECTED.
#include <objbase.h>
#include <oleauto.h>

#include "control/errors.h"
#include "control/varnel.h"
#include "ocx/com_errors.h"
#include "ocx/com_variant.h"
#include "ocx/control.h"
#include "ocx/guids.h"
#include "ocx/stream_format.h"
#include "ocx/text.h"

namespace varnel::ocx {

namespace {

// The host's IPropertyBag as the control's PropertyBag.
class ComPropertyBag : public PropertyBag {
  public:
    ComPropertyBag(IPropertyBag& bag, IErrorLog* log, bool saveAll)
        : bag_(bag), log_(log), saveAll_(saveAll) {}

    Variant Read(std::string_view key, const Variant& defaultValue) override {
        const std::wstring name = WideOfBytes(key);
        VARIANT value;
        VariantInit(&value);
        // An absent key (or one the bag cannot give) reads as its default.
        if (FAILED(bag_.Read(name.c_str(), &value, log_))) return defaultValue;
        struct Clear {
            VARIANT& v;
            ~Clear() { VariantClear(&v); }
        } clear{value};
        return FromVariant(value);
    }

    void Write(std::string_view key, const Variant& value, const Variant& defaultValue) override {
        if (!saveAll_ && value.ValueEquals(defaultValue)) return;
        const std::wstring name = WideOfBytes(key);
        VARIANT v;
        ToVariant(value, v);
        const HRESULT hr = bag_.Write(name.c_str(), &v);
        VariantClear(&v);
        if (FAILED(hr)) throw AutomationError(hr, "The property bag refused the value");
    }

  private:
    IPropertyBag& bag_;
    IErrorLog* log_;
    bool saveAll_;
};

// Reads exactly n bytes; fewer means the stream ended early.
bool ReadAll(IStream& stream, std::string& out, std::size_t n) {
    out.assign(n, '\0');
    std::size_t done = 0;
    while (done < n) {
        ULONG got = 0;
        const HRESULT hr = stream.Read(out.data() + done, static_cast<ULONG>(n - done), &got);
        if (FAILED(hr) || got == 0) return false;
        done += got;
    }
    return true;
}

[[noreturn]] void InvalidFormat(const char* what) {
    throw AutomationError(stream::kErrInvalidFormat,
                          std::string("Invalid file format: saved Varnel data ") + what);
}

constexpr wchar_t kContentsStream[] = L"Contents";

}  // namespace

HRESULT VarnelControl::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = ClsidVarnel();
    return S_OK;
}

HRESULT VarnelControl::InitNew() {
    const Activity activity(*this);
    return Guarded(IID_IPersistPropertyBag, [&] {
        varnel_->InitProperties();
        dirty_ = false;
    });
}

HRESULT VarnelControl::Load(IPropertyBag* bag, IErrorLog* log) {
    if (!bag) return E_POINTER;
    const Activity activity(*this);
    return Guarded(IID_IPersistPropertyBag, [&] {
        ComPropertyBag adapter(*bag, log, false);
        varnel_->ReadProperties(adapter);
        dirty_ = false;
    });
}

HRESULT VarnelControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) {
    if (!bag) return E_POINTER;
    const Activity activity(*this);
    return Guarded(IID_IPersistPropertyBag, [&] {
        ComPropertyBag adapter(*bag, nullptr, saveAll != FALSE);
        varnel_->WriteProperties(adapter);
        if (clearDirty) dirty_ = false;
    });
}

HRESULT VarnelControl::IsDirty() {
    return dirty_ ? S_OK : S_FALSE;
}

void VarnelControl::LoadStream(IStream& in, bool whole) {
    std::string header, payload, more;
    if (!ReadAll(in, header, stream::kHeaderSize)) InvalidFormat("is truncated");
    if (!ReadAll(in, payload, stream::PayloadLength(header))) InvalidFormat("is truncated");
    if (whole && ReadAll(in, more, 1)) InvalidFormat("is followed by other bytes");
    stream::LoadBag bag(stream::DecodePayload(payload));
    varnel_->ReadProperties(bag);
    dirty_ = false;
}

void VarnelControl::SaveStream(IStream& out) {
    stream::SaveBag bag;
    varnel_->WriteProperties(bag);
    const std::string data = stream::Encode(bag.Entries());
    ULONG written = 0;
    const HRESULT hr = out.Write(data.data(), static_cast<ULONG>(data.size()), &written);
    if (FAILED(hr)) throw AutomationError(hr, "The stream refused the saved data");
    if (written != data.size()) throw AutomationError(STG_E_MEDIUMFULL, "The stream is full");
}

HRESULT VarnelControl::Load(LPSTREAM in) {
    if (!in) return E_POINTER;
    const Activity activity(*this);
    return Guarded(IID_IPersistStreamInit, [&] { LoadStream(*in, false); });
}

HRESULT VarnelControl::Save(LPSTREAM out, BOOL clearDirty) {
    if (!out) return E_POINTER;
    const Activity activity(*this);
    return Guarded(IID_IPersistStreamInit, [&] {
        SaveStream(*out);
        if (clearDirty) dirty_ = false;
    });
}

HRESULT VarnelControl::GetSizeMax(ULARGE_INTEGER* size) {
    if (!size) return E_POINTER;
    const Activity activity(*this);
    return Guarded(IID_IPersistStreamInit, [&] {
        stream::SaveBag bag;
        varnel_->WriteProperties(bag);
        size->QuadPart = stream::Encode(bag.Entries()).size();
    });
}

// --- IPersistStorage ---

HRESULT VarnelControl::InitNew(IStorage* storage) {
    if (!storage) return E_POINTER;
    if (storageState_ != StorageState::Uninitialized) return CO_E_ALREADYINITIALIZED;
    const HRESULT hr = InitNew();
    if (FAILED(hr)) return hr;
    storage_ = ComPtr<IStorage>(storage);
    storageState_ = StorageState::Normal;
    return S_OK;
}

HRESULT VarnelControl::Load(IStorage* storage) {
    if (!storage) return E_POINTER;
    if (storageState_ != StorageState::Uninitialized) return CO_E_ALREADYINITIALIZED;
    const Activity activity(*this);
    const HRESULT hr = Guarded(IID_IPersistStorage, [&] {
        CLSID clsid{};
        if (SUCCEEDED(ReadClassStg(storage, &clsid)) && clsid != CLSID_NULL &&
            clsid != ClsidVarnel())
            InvalidFormat("belongs to another class");
        ComPtr<IStream> in;
        if (FAILED(storage->OpenStream(kContentsStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                       0, in.Put())))
            InvalidFormat("is missing");
        LoadStream(*in.Get(), true);
    });
    if (FAILED(hr)) return hr;
    storage_ = ComPtr<IStorage>(storage);
    storageState_ = StorageState::Normal;
    return S_OK;
}

HRESULT VarnelControl::Save(IStorage* storage, BOOL sameAsLoad) {
    if (!storage) return E_POINTER;
    if (storageState_ != StorageState::Normal) return E_UNEXPECTED;
    const Activity activity(*this);
    const HRESULT hr = Guarded(IID_IPersistStorage, [&] {
        HRESULT written = WriteClassStg(storage, ClsidVarnel());
        ComPtr<IStream> out;
        if (SUCCEEDED(written))
            written = storage->CreateStream(
                kContentsStream, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, out.Put());
        if (FAILED(written)) throw AutomationError(written, "The storage refused the saved data");
        SaveStream(*out.Get());
    });
    if (FAILED(hr)) return hr;
    storageState_ = StorageState::NoScribble;
    if (sameAsLoad) dirty_ = false;
    return S_OK;
}

HRESULT VarnelControl::SaveCompleted(IStorage* storage) {
    switch (storageState_) {
        case StorageState::NoScribble:
            if (storage) storage_ = ComPtr<IStorage>(storage);
            break;
        case StorageState::HandsOff:
            if (!storage) return E_INVALIDARG;
            storage_ = ComPtr<IStorage>(storage);
            break;
        default:
            return E_UNEXPECTED;
    }
    storageState_ = StorageState::Normal;
    if (oleAdvise_) oleAdvise_->SendOnSave();
    return S_OK;
}

HRESULT VarnelControl::HandsOffStorage() {
    if (storageState_ != StorageState::Normal && storageState_ != StorageState::NoScribble)
        return E_UNEXPECTED;
    storage_.Reset();
    storageState_ = StorageState::HandsOff;
    return S_OK;
}

}  // namespace varnel::ocx
