#include "tests/support/task_mem_probe.h"

namespace movra::test {

std::optional<long> LiveTaskMemBlocks() {
    return std::nullopt;
}

}  // namespace movra::test
