// IUnknown written once: QueryInterface over the interfaces an object finds for an id, a
// reference count of the object's own, and an enumerator over a fixed list.
#pragma once

#include <objbase.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace varnel::ocx {

// QueryInterface over Find, which returns the object's interface for an id or nullptr. AddRef
// and Release are the object's: a part of a larger object counts on its owner.
template <typename... Interfaces>
class ComInterfaces : public Interfaces... {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = Find(iid);
        if (!*out) return E_NOINTERFACE;
        static_cast<IUnknown*>(*out)->AddRef();
        return S_OK;
    }

  protected:
    ComInterfaces() = default;
    ~ComInterfaces() = default;
    virtual void* Find(REFIID iid) = 0;
};

// An object with a reference count of its own, created with one reference; the last Release
// deletes it.
template <typename... Interfaces>
class ComObject : public ComInterfaces<Interfaces...> {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    long Refs() const { return refs_; }

  protected:
    ComObject() = default;
    virtual ~ComObject() = default;

  private:
    std::atomic<long> refs_{1};
};

// An IEnumXxx over a fixed list, shared by its clones. Traits names the enumerator interface
// (Interface, Iid()), what the list keeps (Stored) and hands out (Item), and how an item is
// handed out (Copy, an HRESULT) and taken back when a later one fails (Free).
template <typename Traits>
class ListEnumerator final : public ComObject<typename Traits::Interface> {
  public:
    using Item = typename Traits::Item;
    using List = std::vector<typename Traits::Stored>;

    static HRESULT Create(List items, typename Traits::Interface** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        try {
            *out = new ListEnumerator(std::make_shared<const List>(std::move(items)), 0);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < items_->size(); ++n) {
            const HRESULT hr = Traits::Copy((*items_)[position_], out[n]);
            if (FAILED(hr)) {
                while (n > 0)
                    Traits::Free(out[--n]);
                if (fetched) *fetched = 0;
                return hr;
            }
            ++position_;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t left = items_->size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(typename Traits::Interface** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) ListEnumerator(items_, position_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

  private:
    ListEnumerator(std::shared_ptr<const List> items, std::size_t position)
        : items_(std::move(items)), position_(position) {}
    void* Find(REFIID iid) override {
        return iid == IID_IUnknown || iid == Traits::Iid()
                   ? static_cast<typename Traits::Interface*>(this)
                   : nullptr;
    }

    std::shared_ptr<const List> items_;
    std::size_t position_;
};

}  // namespace varnel::ocx
