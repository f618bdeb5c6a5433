#include "ocx/connection_point.h"

#include <olectl.h>

#include <atomic>
#include <new>

namespace varnel::ocx {

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    *out = &owner_;
    owner_.AddRef();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    ComPtr<IUnknown> outgoing;
    // An event sink built without the type library may answer only IDispatch.
    if (FAILED(sink->QueryInterface(iid_, outgoing.PutVoid())) &&
        (iid_ == IID_IPropertyNotifySink ||
         FAILED(sink->QueryInterface(IID_IDispatch, outgoing.PutVoid())))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    sinks_.push_back({next_, outgoing});
    *cookie = next_++;
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->cookie == cookie) {
            // The sink is released after it has left the list: its release may reach here again.
            ComPtr<IUnknown> leaving = std::move(it->sink);
            sinks_.erase(it);
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOTIMPL;  // allowed for connection points; no host of a control relies on it
}

void ConnectionPoint::ForEach(const std::function<void(IUnknown& sink)>& call) {
    std::vector<DWORD> cookies;
    for (const Sink& s : sinks_)
        cookies.push_back(s.cookie);
    for (const DWORD cookie : cookies) {
        ComPtr<IUnknown> sink;
        for (const Sink& s : sinks_) {
            if (s.cookie == cookie) sink = s.sink;
        }
        if (sink) call(*sink.Get());
    }
}

namespace {

class PointEnumerator final : public IEnumConnectionPoints {
  public:
    PointEnumerator(std::vector<ComPtr<IConnectionPoint>> points, std::size_t position)
        : points_(std::move(points)), position_(position) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumConnectionPoints) {
            *out = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < points_.size(); ++n, ++position_) {
            out[n] = points_[position_].Get();
            out[n]->AddRef();
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t left = points_.size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) PointEnumerator(points_, position_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

  private:
    ~PointEnumerator() = default;
    std::vector<ComPtr<IConnectionPoint>> points_;
    std::size_t position_;
    std::atomic<long> refs_{1};
};

}  // namespace

HRESULT NewConnectionPointEnumerator(std::vector<ComPtr<IConnectionPoint>> points,
                                     IEnumConnectionPoints** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) PointEnumerator(std::move(points), 0);
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace varnel::ocx
