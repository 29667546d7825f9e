// Blocks of the COM task allocator not yet freed, where the build can count them (the native
// stand-in); nothing under Windows, whose allocator keeps no count.
#pragma once

#include <optional>

namespace movra::test {

std::optional<long> liveTaskMemBlocks();

}  // namespace movra::test
