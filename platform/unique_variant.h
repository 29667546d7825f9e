// UniqueVariant: a VARIANT that is cleared (its BSTR freed, its interface released) when the owner
// goes, unless its contents were handed on with release().
#pragma once

#include "platform/win.h"

#include <utility>

namespace platform {

class UniqueVariant {
public:
    UniqueVariant() noexcept { VariantInit(&value); }
    UniqueVariant(UniqueVariant&& other) noexcept : value(other.value) {
        VariantInit(&other.value);
    }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept {
        if (this != &other) {
            reset();
            value = other.value;
            VariantInit(&other.value);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { reset(); }

    VARIANT* get() noexcept { return &value; }
    const VARIANT* get() const noexcept { return &value; }
    VARIANT* operator->() noexcept { return &value; }
    const VARIANT* operator->() const noexcept { return &value; }

    // Clears what is held and hands out the empty VARIANT for a callee to fill.
    VARIANT* put() noexcept {
        reset();
        return &value;
    }

    // Moves the contents into the caller's uninitialised VARIANT (the caller clears it); this
    // one is left empty.
    void release(VARIANT* target) noexcept {
        *target = value;
        VariantInit(&value);
    }

    void reset() noexcept {
        VariantClear(&value);
        VariantInit(&value);
    }

private:
    VARIANT value;
};

}  // namespace platform
