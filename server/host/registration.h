// The registry entries through which the COM runtime and OPC clients find MovraOPCServer.
#pragma once

namespace movra {

inline constexpr char kServerClsidText[] = "{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}";
inline constexpr char kVersionIndependentProgId[] = "MOVRA.OPC-server";

// Writes (doRegister non-zero) or removes the entries, under HKEY_CLASSES_ROOT and then
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes. modulePath is the program's full path as
// GetModuleFileNameA gives it. Returns 1 on success, 0 on failure; a failed registration leaves
// what it wrote before the failing step.
int UpdateRegistration(const char* modulePath, int doRegister);

}  // namespace movra
