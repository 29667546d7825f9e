#include "server/opc/group_enumerators.h"

#include "platform/co_task_mem.h"
#include "server/opc/opc_group.h"

#include <algorithm>
#include <new>

namespace movra {

namespace {

void give(CMovraOPCGroup* group, IUnknown*& out) {
    if (FAILED(group->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&out)))) {
        throw std::bad_alloc();  // a listed group always answers IUnknown
    }
}

void give(CMovraOPCGroup* group, LPOLESTR& out) {
    const platform::WString& name = group->nameLocked();
    auto copy = platform::CoTaskMemPtr<OLECHAR>::allocate(name.size() + 1);
    if (!copy) {
        throw std::bad_alloc();
    }
    std::copy(name.begin(), name.end(), copy.get());
    out = copy.release();  // the caller frees it
}

void takeBack(IUnknown*& given) {
    platform::ComPtr<IUnknown>::attach(given);
    given = nullptr;
}

void takeBack(LPOLESTR& given) {
    CoTaskMemFree(given);
    given = nullptr;
}

}  // namespace

template <typename ElementType>
ULONG GroupListSource<ElementType>::fetch(ULONG first, ULONG count, Element* out) {
    std::lock_guard lock(groups_->serverMutex());
    ULONG available = availableLocked();
    if (first >= available) {
        return 0;
    }
    ULONG fetched = std::min<ULONG>(count, available - first);
    for (ULONG i = 0; i < fetched; ++i) {
        try {
            give(groups_->groupLocked(first + i), out[i]);
        } catch (...) {
            for (ULONG j = 0; j < i; ++j) {
                takeBack(out[j]);
            }
            throw;
        }
    }
    return fetched;
}

template class GroupListSource<IUnknown*>;
template class GroupListSource<LPOLESTR>;

}  // namespace movra
