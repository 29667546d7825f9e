#include "server/host/registration.h"

#include "platform/codepage.h"
#include "platform/handle_ptr.h"
#include "platform/win.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace movra {

namespace {

constexpr float kServerVersion = 1.08f;
// The A-functions of the registry take code page 1251 bytes.
constexpr platform::Cp1251Text kDescription("МОВРА OPC-сервер");
constexpr platform::Cp1251Text kVendor("ООО НПФ МОВРА");
// The published category of OPC Data Access 2.0 servers.
constexpr char kCategoryKey[] = "Implemented Categories\\{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
constexpr char kClassesOfMachine[] = "SOFTWARE\\Classes";
constexpr DWORD kCurVerBufferSize = 100;

using platform::UniqueRegKey;

bool openKey(HKEY parent, const char* name, UniqueRegKey& key) {
    return RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS;
}

bool createKey(HKEY parent, const char* name, UniqueRegKey& key) {
    return RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

// REG_SZ with its terminating zero counted, as every entry is written.
bool setText(HKEY key, const char* valueName, const char* text) {
    return RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

bool createWithDefault(HKEY parent, const char* name, const char* text) {
    UniqueRegKey key;
    return createKey(parent, name, key) && setText(key.get(), nullptr, text);
}

struct Entries {
    std::string modulePath;
    std::string programFile;
    std::string versionText;
    std::string progId;
};

Entries entriesFor(const char* modulePath) {
    Entries entries;
    entries.modulePath = modulePath;
    // Windows paths use '\'; '/' is taken too, so that paths of the native build work.
    auto separator = entries.modulePath.find_last_of("\\/");
    entries.programFile = separator == std::string::npos ? entries.modulePath
                                                         : entries.modulePath.substr(separator + 1);
    char version[32];
    std::snprintf(version, sizeof version, "%4.2f", static_cast<double>(kServerVersion));
    entries.versionText = std::string(version).substr(0, 4);
    entries.progId = std::string(kVersionIndependentProgId) + "." + entries.versionText;
    return entries;
}

bool registerUnder(HKEY root, const Entries& entries) {
    {
        UniqueRegKey appIds;
        if (!openKey(root, "AppID", appIds) ||
            !createWithDefault(appIds.get(), kServerClsidText, kDescription)) {
            return false;
        }
        UniqueRegKey program;
        if (!createKey(appIds.get(), entries.programFile.c_str(), program) ||
            !setText(program.get(), "AppID", kServerClsidText)) {
            return false;
        }
    }
    {
        UniqueRegKey classes;
        UniqueRegKey server;
        if (!openKey(root, "CLSID", classes) ||
            !createKey(classes.get(), kServerClsidText, server) ||
            !setText(server.get(), nullptr, kDescription) ||
            !setText(server.get(), "AppID", kServerClsidText)) {
            return false;
        }
        UniqueRegKey category;
        if (!createKey(server.get(), kCategoryKey, category)) {
            return false;
        }
        UniqueRegKey localServer;
        if (!createKey(server.get(), "LocalServer32", localServer) ||
            !setText(localServer.get(), nullptr, entries.modulePath.c_str()) ||
            !setText(localServer.get(), "ThreadingModel", "Free")) {
            return false;
        }
        if (!createWithDefault(server.get(), "ProgID", entries.progId.c_str()) ||
            !createWithDefault(server.get(), "Version", entries.versionText.c_str()) ||
            !createWithDefault(server.get(), "VersionIndependentProgID",
                               kVersionIndependentProgId)) {
            return false;
        }
    }
    {
        UniqueRegKey independent;
        if (!createKey(root, kVersionIndependentProgId, independent) ||
            !setText(independent.get(), nullptr, kDescription) ||
            !createWithDefault(independent.get(), "CLSID", kServerClsidText) ||
            !createWithDefault(independent.get(), "CurVer", entries.progId.c_str()) ||
            !createWithDefault(independent.get(), "OPC\\Vendor", kVendor)) {
            return false;
        }
    }
    UniqueRegKey versioned;
    return createKey(root, entries.progId.c_str(), versioned) &&
           setText(versioned.get(), nullptr, kDescription) &&
           createWithDefault(versioned.get(), "CLSID", kServerClsidText);
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(text[i]) != lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

// The versioned ProgID that CurVer names, when it names one of ours. Anything else (an empty
// text, "CLSID", a path) would make the subtree deletion take foreign or all classes with it.
std::string registeredVersionedProgId(HKEY root) {
    UniqueRegKey independent;
    UniqueRegKey curVer;
    if (!openKey(root, kVersionIndependentProgId, independent) ||
        !openKey(independent.get(), "CurVer", curVer)) {
        return {};
    }
    char buffer[kCurVerBufferSize];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(curVer.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    // The stored text need not end with a zero.
    std::string name(buffer, size);
    name = name.substr(0, name.find('\0'));
    const std::string prefix = std::string(kVersionIndependentProgId) + ".";
    if (name.size() <= prefix.size() || !startsWithIgnoringCase(name, prefix) ||
        name.find('\\') != std::string::npos) {
        return {};
    }
    return name;
}

// Deletions that fail (mostly: nothing to delete) are passed over.
void unregisterUnder(HKEY root, const Entries& entries) {
    {
        UniqueRegKey appIds;
        if (openKey(root, "AppID", appIds)) {
            SHDeleteKeyA(appIds.get(), kServerClsidText);
            // An empty name would take the whole AppID key.
            if (!entries.programFile.empty()) {
                SHDeleteKeyA(appIds.get(), entries.programFile.c_str());
            }
        }
    }
    {
        UniqueRegKey classes;
        if (openKey(root, "CLSID", classes)) {
            SHDeleteKeyA(classes.get(), kServerClsidText);
        }
    }
    std::string versioned = registeredVersionedProgId(root);
    if (!versioned.empty()) {
        SHDeleteKeyA(root, versioned.c_str());
    }
    SHDeleteKeyA(root, kVersionIndependentProgId);
}

}  // namespace

int UpdateRegistration(const char* modulePath, int doRegister) {
    if (modulePath == nullptr) {
        return 0;
    }
    const Entries entries = entriesFor(modulePath);
    // A path without a program file name would register no program, and its AppID key would
    // be AppID itself.
    if (doRegister && entries.programFile.empty()) {
        return 0;
    }
    if (doRegister) {
        if (!registerUnder(HKEY_CLASSES_ROOT, entries)) {
            return 0;
        }
    } else {
        unregisterUnder(HKEY_CLASSES_ROOT, entries);
    }
    UniqueRegKey machineClasses;
    if (!openKey(HKEY_LOCAL_MACHINE, kClassesOfMachine, machineClasses)) {
        return 0;
    }
    if (doRegister) {
        return registerUnder(machineClasses.get(), entries) ? 1 : 0;
    }
    unregisterUnder(machineClasses.get(), entries);
    return 1;
}

}  // namespace movra
