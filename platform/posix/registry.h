// Stand-in for the Windows registry: an in-memory tree of keys and values behind the Reg* calls
// the registration uses. Key and value names are compared ignoring case; HKEY_CLASSES_ROOT is the
// same tree as HKEY_LOCAL_MACHINE\SOFTWARE\Classes. With MOVRA_REGISTRY naming a file, the tree
// is loaded from it at first use and saved after every change (platform/posix/registry_testing.h).
#pragma once

#include "platform/posix/sync.h"
#include "platform/posix/types.h"

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define ERROR_BADKEY 1010L
#define ERROR_KEY_DELETED 1018L

extern "C" {
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                        REGSAM desired, const LPSECURITY_ATTRIBUTES security, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPSTR keyClass, LPDWORD classLength, LPFILETIME lastWriteTime);
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
// shlwapi: deletes the key and everything below it.
LSTATUS SHDeleteKeyA(HKEY key, LPCSTR subKey);
}
