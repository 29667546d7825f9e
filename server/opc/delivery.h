// One callback of the notification pass: what a group has to tell its client, gathered under the
// group lock and sent after the lock is given up.
#pragma once

#include "common/opc/opc_da.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"

namespace movra {

struct Delivery {
    enum class Kind { None, ReadComplete, DataChange };

    Delivery() = default;
    Delivery(Delivery&&) = default;
    Delivery& operator=(Delivery&& other) noexcept;
    // Clears the values, which may own memory (a text of a VT_BSTR request).
    ~Delivery();

    // Room for `count` entries of each array, the values empty; false when out of memory.
    bool allocate(DWORD count);
    // Keeps only the entries whose flag is set, in their order (a periodic pass reports changes
    // only).
    void keepOnly(const bool* keep, DWORD kept);
    // The call on the sink; the sink's result.
    HRESULT send() const;

    Kind kind = Kind::None;
    DWORD transactionId = 0;
    OPCHANDLE clientGroupHandle = 0;
    DWORD count = 0;
    platform::CoTaskMemPtr<OPCHANDLE> handles;
    platform::CoTaskMemPtr<VARIANT> values;
    platform::CoTaskMemPtr<WORD> qualities;
    platform::CoTaskMemPtr<FILETIME> timestamps;
    platform::CoTaskMemPtr<HRESULT> errors;
    platform::ComPtr<IOPCDataCallback> sink;
    platform::WString groupName;
};

}  // namespace movra
