#include "tests/platform/under_wine.h"

#include "platform/win.h"

namespace movra::test {

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace movra::test
