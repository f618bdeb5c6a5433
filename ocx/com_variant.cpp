#include "ocx/com_variant.h"

#include <objbase.h>
#include <oleauto.h>

#include <new>

#include "control/errors.h"
#include "ocx/text.h"

namespace varnel::ocx {

BSTR NewBstr(std::string_view bytes) {
    const std::wstring wide = WideOfBytes(bytes);
    BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b) throw std::bad_alloc();
    return b;
}

std::string FromBstr(BSTR text) {
    return text ? BytesOfWide({text, SysStringLen(text)}) : std::string();
}

void ToVariant(const Variant& value, VARIANT& out) {
    VariantInit(&out);
    switch (value.Type()) {
        case VarType::Empty:
            break;
        case VarType::I2:
            V_VT(&out) = VT_I2;
            V_I2(&out) = value.ToI2();
            break;
        case VarType::I4:
            V_VT(&out) = VT_I4;
            V_I4(&out) = value.ToI4();
            break;
        case VarType::R4:
            V_VT(&out) = VT_R4;
            V_R4(&out) = value.ToR4();
            break;
        case VarType::R8:
            V_VT(&out) = VT_R8;
            V_R8(&out) = value.ToR8();
            break;
        case VarType::Bool:
            V_VT(&out) = VT_BOOL;
            V_BOOL(&out) = value.ToBool() ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VarType::Str:
            V_BSTR(&out) = NewBstr(*value.Str());
            V_VT(&out) = VT_BSTR;
            break;
    }
}

namespace {

double AsDouble(const VARIANT& v) {
    VARIANT d;
    VariantInit(&d);
    if (FAILED(VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8))) ThrowTypeMismatch();
    return V_R8(&d);
}

Variant Direct(const VARIANT& v) {
    switch (V_VT(&v)) {
        case VT_EMPTY:
            return Variant();
        case VT_I2:
            return Variant(static_cast<std::int16_t>(V_I2(&v)));
        case VT_I4:
            return Variant(static_cast<std::int32_t>(V_I4(&v)));
        case VT_INT:
            return Variant(static_cast<std::int32_t>(V_INT(&v)));
        case VT_I1:
            return Variant(static_cast<std::int32_t>(V_I1(&v)));
        case VT_UI1:
            return Variant(static_cast<std::int32_t>(V_UI1(&v)));
        case VT_UI2:
            return Variant(static_cast<std::int32_t>(V_UI2(&v)));
        case VT_R4:
            return Variant(V_R4(&v));
        case VT_R8:
            return Variant(V_R8(&v));
        case VT_BOOL:
            return Variant::Boolean(V_BOOL(&v) != VARIANT_FALSE);
        case VT_BSTR:
            return Variant(FromBstr(V_BSTR(&v)));
        case VT_UI4:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
            return Variant(AsDouble(v));
        default:
            ThrowTypeMismatch();
    }
}

}  // namespace

Variant FromVariant(const VARIANT& value) {
    if (!(V_VT(&value) & VT_BYREF)) return Direct(value);
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(VariantCopyInd(&copy, const_cast<VARIANT*>(&value)))) ThrowTypeMismatch();
    struct Clear {
        VARIANT& v;
        ~Clear() { VariantClear(&v); }
    } clear{copy};
    return Direct(copy);
}

}  // namespace varnel::ocx
