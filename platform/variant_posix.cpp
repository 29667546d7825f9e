// BSTR and VARIANT lifetime of the stand-in: allocation, copies and clearing, with the checks
// oleaut32 makes on the VARTYPE.
#include "platform/posix/variant_parts.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace platform::variant {

namespace {

// Bytes of the BSTR length prefix, and the longest text we hand out (as oleaut32 refuses more).
constexpr size_t kPrefixBytes = sizeof(DWORD);
constexpr UINT kMaxBstrBytes = 0x7FFFFFF0u;

BSTR allocateBstr(const void* bytes, UINT byteLength) {
    if (byteLength > kMaxBstrBytes) {
        return nullptr;
    }
    // The prefix, the bytes, and a two-byte terminator even after an odd byte count.
    auto* block = static_cast<char*>(std::malloc(kPrefixBytes + byteLength + sizeof(OLECHAR) + 1));
    if (block == nullptr) {
        return nullptr;
    }
    DWORD prefix = byteLength;
    std::memcpy(block, &prefix, sizeof prefix);
    char* text = block + kPrefixBytes;
    if (bytes != nullptr) {
        std::memcpy(text, bytes, byteLength);
    } else {
        std::memset(text, 0, byteLength);
    }
    std::memset(text + byteLength, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR bstrFromAscii(const std::string& text) {
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (result != nullptr) {
        for (size_t i = 0; i < text.size(); ++i) {
            result[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
        }
    }
    return result;
}

// Plain types below VT_VOID (but not 15) and VT_RECORD, with VT_ARRAY or VT_BYREF only on real
// types; VT_VECTOR and VT_RESERVED never.
bool isValidType(VARTYPE type) {
    VARTYPE base = type & VT_TYPEMASK;
    VARTYPE extra = type & ~VT_TYPEMASK;
    if ((extra & (VT_VECTOR | VT_RESERVED)) != 0) {
        return false;
    }
    if (base >= VT_VOID && base != VT_RECORD) {
        return false;
    }
    if (base == 15) {
        return false;
    }
    if ((extra & (VT_ARRAY | VT_BYREF)) != 0 && base <= VT_NULL) {
        return false;
    }
    return true;
}

}  // namespace platform::variant

using namespace platform::variant;

extern "C" BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<OLECHAR>::length(text)));
}

extern "C" BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > kMaxBstrBytes / sizeof(OLECHAR)) {
        return nullptr;
    }
    return allocateBstr(text, length * static_cast<UINT>(sizeof(OLECHAR)));
}

extern "C" BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length) {
    return allocateBstr(bytes, length);
}

extern "C" void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(reinterpret_cast<char*>(text) - kPrefixBytes);
    }
}

extern "C" UINT SysStringByteLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(text) - kPrefixBytes, sizeof prefix);
    return prefix;
}

extern "C" UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

extern "C" void VariantInit(VARIANTARG* variant) {
    variant->vt = VT_EMPTY;
}

extern "C" HRESULT VariantClear(VARIANTARG* variant) {
    if (!isValidType(variant->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((variant->vt & VT_BYREF) == 0) {
        switch (variant->vt) {
            case VT_BSTR:
                SysFreeString(variant->bstrVal);
                break;
            case VT_UNKNOWN:
                if (variant->punkVal != nullptr) {
                    variant->punkVal->Release();
                }
                break;
            case VT_DISPATCH:
                if (variant->pdispVal != nullptr) {
                    reinterpret_cast<IUnknown*>(variant->pdispVal)->Release();
                }
                break;
            default:
                break;  // the stand-in makes no SAFEARRAYs or records
        }
    }
    variant->vt = VT_EMPTY;
    return S_OK;
}

extern "C" HRESULT VariantCopy(VARIANTARG* destination, VARIANTARG* source) {
    if (!isValidType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (destination == source) {
        return S_OK;
    }
    HRESULT hr = VariantClear(destination);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy = *source;
    if ((source->vt & VT_BYREF) == 0) {
        if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source->bstrVal),
                                                 SysStringByteLen(source->bstrVal));
            if (copy.bstrVal == nullptr) {
                return E_OUTOFMEMORY;
            }
        } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) &&
                   source->punkVal != nullptr) {
            source->punkVal->AddRef();
        }
    }
    *destination = copy;
    return S_OK;
}

extern "C" HRESULT VariantCopyInd(VARIANT* destination, VARIANTARG* source) {
    if ((source->vt & VT_BYREF) == 0) {
        return VariantCopy(destination, source);
    }
    if (!isValidType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    VARTYPE base = source->vt & ~VT_BYREF;
    if (source->byref == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    VARIANT value;
    VariantInit(&value);
    if (base == VT_VARIANT) {
        VARIANT* inner = source->pvarVal;
        if ((inner->vt & VT_BYREF) != 0) {
            return E_INVALIDARG;
        }
        value = *inner;
    } else {
        value.vt = base;
        switch (base) {
            case VT_I1:
            case VT_UI1:
                std::memcpy(&value.bVal, source->byref, 1);
                break;
            case VT_I2:
            case VT_UI2:
            case VT_BOOL:
                std::memcpy(&value.iVal, source->byref, 2);
                break;
            case VT_I4:
            case VT_UI4:
            case VT_INT:
            case VT_UINT:
            case VT_R4:
            case VT_ERROR:
                std::memcpy(&value.lVal, source->byref, 4);
                break;
            case VT_I8:
            case VT_UI8:
            case VT_R8:
            case VT_DATE:
            case VT_CY:
                std::memcpy(&value.llVal, source->byref, 8);
                break;
            case VT_BSTR:
                value.bstrVal = *source->pbstrVal;
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                value.punkVal = *source->ppunkVal;
                break;
            default:
                return DISP_E_BADVARTYPE;
        }
    }
    // Copy the value read through the reference, so BSTRs and interfaces get their own copy.
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &value);
    if (FAILED(hr)) {
        return hr;
    }
    hr = destination == source ? S_OK : VariantClear(destination);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *destination = copy;
    return S_OK;
}
