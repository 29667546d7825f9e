#include "common/com/connection_point.h"

namespace movra::com {

DWORD NextConnectionCookie() noexcept {
    static std::atomic<DWORD> next{0};
    DWORD cookie;
    do {
        cookie = ++next;
    } while (cookie == 0);
    return cookie;
}

}  // namespace movra::com
