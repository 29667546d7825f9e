// The registry entries through which the COM runtime and OPC clients find MovraOPCServer.
#pragma once

#include "common/opc/opc_ids.h"

namespace movra {

// Writes (doRegister non-zero) or removes the entries, under HKEY_CLASSES_ROOT and then
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes. modulePath is the program's full path as
// GetModuleFileNameA gives it. Returns 1 on success, 0 on failure; a failed registration leaves
// what it wrote before the failing step.
int UpdateRegistration(const char* modulePath, int doRegister);

}  // namespace movra
