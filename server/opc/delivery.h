// One callback of the notification pass: what a group has to tell its client, gathered under the
// group lock and made on the client's callback thread after the lock is given up.
#pragma once

#include "common/opc/opc_da.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"

#include <memory>
#include <vector>

namespace movra {

struct Delivery {
    enum class Kind { ReadComplete, DataChange };

    Delivery() = default;
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    // Clears the values, which may own memory (a text of a VT_BSTR request).
    ~Delivery();

    // Room for `count` entries of each array, the values empty; false when out of memory.
    bool allocate(DWORD count);
    // Keeps only the entries whose flag is set, in their order (a periodic pass reports changes
    // only).
    void keepOnly(const std::vector<bool>& keep);
    // The call on the sink; the sink's result.
    HRESULT send() const;

    Kind kind = Kind::DataChange;
    DWORD transactionId = 0;
    OPCHANDLE clientGroupHandle = 0;
    DWORD count = 0;
    platform::CoTaskMemPtr<OPCHANDLE> handles;
    platform::CoTaskMemPtr<VARIANT> values;
    platform::CoTaskMemPtr<WORD> qualities;
    platform::CoTaskMemPtr<FILETIME> timestamps;
    platform::CoTaskMemPtr<HRESULT> errors;
    platform::ComPtr<IOPCDataCallback> sink;
    // Written on the callback thread by the call; read once the caller says it has returned.
    HRESULT result = E_FAIL;
};

// What one group hands to its client's callback thread in one pass, for the log.
struct GroupDeliveries {
    platform::WString groupName;
    struct Posted {
        std::shared_ptr<const Delivery> delivery;
        uint64_t ticket;
    };
    std::vector<Posted> posted;
};

}  // namespace movra
