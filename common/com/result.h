// Result codes as the code passes them on: RETURN_IF_FAILED, and the boundary of a COM method
// that turns whatever is thrown inside into a result code.
#pragma once

#include "platform/win.h"

#include <new>

// Returns the failure of a call at once; keeps the failing expression visible at the call site.
#define RETURN_IF_FAILED(expression)               \
    do {                                           \
        const HRESULT movraResult_ = (expression); \
        if (FAILED(movraResult_)) {                \
            return movraResult_;                   \
        }                                          \
    } while (0)

namespace movra::com {

// The body of a COM method: nothing thrown inside may cross into the caller's process.
template <typename Body>
HRESULT comBoundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace movra::com
