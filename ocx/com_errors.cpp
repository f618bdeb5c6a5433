#include "ocx/com_errors.h"

#include <objbase.h>
#include <oleauto.h>

#include "ocx/com_ptr.h"
#include "ocx/text.h"

namespace varnel::ocx {

const wchar_t* ErrorSource() {
    return L"Varnel_OCX.Varnel";
}

HRESULT HResultOf(std::int32_t number) {
    if (number < 0) return static_cast<HRESULT>(number);
    if (number == 0 || number > 0xFFFF) return E_FAIL;
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, static_cast<unsigned>(number));
}

HRESULT ReportError(const AutomationError& error, REFGUID iid) {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
        const std::wstring text = WideOfBytes(error.Description());
        create->SetGUID(iid);
        create->SetSource(const_cast<LPOLESTR>(ErrorSource()));
        create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.As(IID_IErrorInfo, info))) SetErrorInfo(0, info.Get());
    }
    return HResultOf(error.Number());
}

}  // namespace varnel::ocx
