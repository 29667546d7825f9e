// Test hooks of the stand-in registry (native build only).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform::posix::registry_testing {

// Back to the starting tree (HKEY_LOCAL_MACHINE\SOFTWARE\Classes with its AppID and CLSID keys),
// writes allowed, the write log emptied. Keys still open become deleted keys. MOVRA_REGISTRY is
// looked at again at the next call: its file, when it exists, replaces the starting tree.
void reset();

// While set, every write fails with ERROR_ACCESS_DENIED, and so does opening a key for writing:
// what a program run without administrative rights meets under HKEY_LOCAL_MACHINE.
void denyWrites(bool deny);

// The changes since the last reset, in order, with full key paths (HKEY_CLASSES_ROOT appears as
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes): "create <key>", "set <key> <value name or @>",
// "delete <key>" (a whole subtree), "delete-value <key> <value name or @>".
std::vector<std::string> writeLog();

// How many keys are open now (the predefined roots do not count).
size_t openKeyCount();

}  // namespace platform::posix::registry_testing
