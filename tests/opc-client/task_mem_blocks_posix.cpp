#include "tests/opc-client/task_mem_blocks.h"

#include "platform/win.h"

namespace movra::test {

std::optional<long> liveTaskMemBlocks() {
    return platform::posix::com_testing::liveTaskMemBlocks();
}

}  // namespace movra::test
