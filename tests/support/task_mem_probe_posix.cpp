#include "tests/support/task_mem_probe.h"

#include "platform/win.h"

namespace movra::test {

std::optional<long> LiveTaskMemBlocks() {
    return platform::posix::com_testing::liveTaskMemBlocks();
}

}  // namespace movra::test
