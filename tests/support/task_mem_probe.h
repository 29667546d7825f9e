// The number of task-allocator blocks not yet freed, where the platform can tell it (the native
// stand-in counts them; on Windows it is not known and tests skip the check).
#pragma once

#include <optional>

namespace movra::test {

std::optional<long> LiveTaskMemBlocks();

}  // namespace movra::test
