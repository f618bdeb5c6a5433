// Automation errors as COM reports them: an HRESULT from the error number, the description in an
// error object (IErrorInfo, through SetErrorInfo) for early binding and in EXCEPINFO for late
// binding.
#pragma once

#include <oaidl.h>

#include <cstdint>
#include <exception>
#include <new>

#include "control/errors.h"

namespace varnel::ocx {

// The error source that hosts show: "Varnel_OCX.Varnel".
const wchar_t* ErrorSource();

// Numbers that are HRESULTs already (negative) stay as they are; the control's own numbers
// become control errors, MAKE_HRESULT(1, FACILITY_CONTROL, number), which VB-style hosts show
// as the number itself (13 type mismatch, 380 invalid property value, 8002 invalid port number).
HRESULT HResultOf(std::int32_t number);

// Sets the thread's error object for the error and returns its HRESULT.
HRESULT ReportError(const AutomationError& error, REFGUID iid);

// Runs f, turning an escaping exception into an HRESULT with an error object.
template <typename F>
HRESULT Guarded(REFGUID iid, F&& f) {
    try {
        f();
        return S_OK;
    } catch (const AutomationError& e) {
        return ReportError(e, iid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        return ReportError(AutomationError(err::kInternal, e.what()), iid);
    }
}

}  // namespace varnel::ocx
