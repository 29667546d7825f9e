#include "tests/opc-client/task_mem_blocks.h"

namespace movra::test {

std::optional<long> liveTaskMemBlocks() {
    return std::nullopt;
}

}  // namespace movra::test
