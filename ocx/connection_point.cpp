#include "ocx/connection_point.h"

#include <olectl.h>

namespace varnel::ocx {

void* ConnectionPoint::Find(REFIID iid) {
    return iid == IID_IUnknown || iid == IID_IConnectionPoint ? static_cast<IConnectionPoint*>(this)
                                                              : nullptr;
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

struct PointTraits {
    using Interface = IEnumConnectionPoints;
    using Item = IConnectionPoint*;
    using Stored = ComPtr<IConnectionPoint>;
    static const IID& Iid() { return IID_IEnumConnectionPoints; }
    static HRESULT Copy(const Stored& point, Item& out) {
        out = point.Get();
        out->AddRef();
        return S_OK;
    }
    static void Free(Item& point) { point->Release(); }
};

}  // namespace

HRESULT NewConnectionPointEnumerator(std::vector<ComPtr<IConnectionPoint>> points,
                                     IEnumConnectionPoints** out) {
    return ListEnumerator<PointTraits>::Create(std::move(points), out);
}

}  // namespace varnel::ocx
