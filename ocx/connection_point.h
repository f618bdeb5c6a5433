// A connection point of the control: the sinks connected to one outgoing interface (__Varnel or
// IPropertyNotifySink). Its reference count is the control's, so a held connection point keeps
// the control alive.
#pragma once

#include <ocidl.h>

#include <functional>
#include <vector>

#include "ocx/com_object.h"
#include "ocx/com_ptr.h"

namespace varnel::ocx {

class ConnectionPoint final : public ComInterfaces<IConnectionPoint> {
  public:
    ConnectionPoint(IConnectionPointContainer& owner, const IID& iid) : owner_(owner), iid_(iid) {}

    // Calls each sink connected when the call starts and still connected when its turn comes:
    // a sink may connect or disconnect any sink, itself included, from inside the call.
    void ForEach(const std::function<void(IUnknown& sink)>& call);
    void DisconnectAll() { sinks_.clear(); }

    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  private:
    void* Find(REFIID iid) override;

    struct Sink {
        DWORD cookie;
        ComPtr<IUnknown> sink;  // the sink's outgoing interface
    };
    IConnectionPointContainer& owner_;
    IID iid_;
    std::vector<Sink> sinks_;
    DWORD next_ = 1;
};

// Enumerates the control's connection points (IConnectionPointContainer::EnumConnectionPoints).
HRESULT NewConnectionPointEnumerator(std::vector<ComPtr<IConnectionPoint>> points,
                                     IEnumConnectionPoints** out);

}  // namespace varnel::ocx
