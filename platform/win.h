// The Windows API as this project uses it. On Windows these are the system headers; elsewhere a
// stand-in with the same names and behaviour for the subset the programs call (platform/posix/).
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
#include <shlwapi.h>
#include <process.h>
#else
#include "platform/posix/types.h"
#include "platform/posix/com.h"
#include "platform/posix/handle.h"
#include "platform/posix/sync.h"
#include "platform/posix/message.h"
#include "platform/posix/registry.h"
#include "platform/posix/ole.h"
#endif
