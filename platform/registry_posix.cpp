// The stand-in registry's Reg* calls over the tree of platform/posix/registry_tree.h.
#include "platform/posix/registry_testing.h"
#include "platform/posix/registry_tree.h"
#include "platform/win.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix::registry_tree {

std::vector<std::string> splitPath(LPCSTR subKey) {
    std::vector<std::string> parts;
    if (subKey == nullptr) {
        return parts;
    }
    std::string_view rest(subKey);
    while (!rest.empty()) {
        auto end = rest.find('\\');
        auto part = rest.substr(0, end);
        if (!part.empty()) {
            parts.emplace_back(part);
        }
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    return parts;
}

}  // namespace platform::posix::registry_tree

namespace {

using namespace platform::posix::registry_tree;
namespace registry_file = platform::posix::registry_file;

struct OpenKey {
    NodePtr node;
    REGSAM access;
};

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                                0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */;

struct Registry {
    std::mutex lock;
    bool loaded = false;
    NodePtr machine;
    NodePtr user;
    std::set<OpenKey*> open;
    bool denyWrites = false;
    std::vector<std::string> log;
    std::string file;  // MOVRA_REGISTRY, or empty
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void markDeleted(const NodePtr& node) {
    node->deleted = true;
    for (auto& [name, sub] : node->children) {
        markDeleted(sub);
    }
}

std::string pathOf(const NodePtr& node) {
    std::string path = node->name;
    for (auto up = node->parent.lock(); up; up = up->parent.lock()) {
        path = up->name + "\\" + path;
    }
    return path;
}

// After every change, when MOVRA_REGISTRY names a file.
void save(Registry& reg) {
    if (!reg.file.empty()) {
        registry_file::save(reg.file, reg.machine, reg.user);
    }
}

// Called with reg.lock held before every operation.
void ensureLoaded(Registry& reg) {
    if (reg.loaded) {
        return;
    }
    reg.machine = makeNode("HKEY_LOCAL_MACHINE", nullptr);
    reg.user = makeNode("HKEY_CURRENT_USER", nullptr);
    NodePtr classes = makeNode("Classes", makeNode("SOFTWARE", reg.machine));
    makeNode("AppID", classes);
    makeNode("CLSID", classes);
    const char* file = std::getenv("MOVRA_REGISTRY");
    reg.file = (file != nullptr) ? file : "";
    if (!reg.file.empty()) {
        registry_file::load(reg.file, reg.machine, reg.user);
    }
    reg.loaded = true;
}

bool isPredefined(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

bool isRoot(Registry& reg, const NodePtr& node) {
    if (node == reg.machine || node == reg.user) {
        return true;
    }
    NodePtr software = child(reg.machine, "SOFTWARE");
    return software && node == child(software, "Classes");
}

// The node and the access granted through a handle; an error code when there is none.
LSTATUS resolve(Registry& reg, HKEY key, NodePtr& node, REGSAM& access) {
    access = KEY_ALL_ACCESS;
    if (key == HKEY_LOCAL_MACHINE) {
        node = reg.machine;
    } else if (key == HKEY_CURRENT_USER) {
        node = reg.user;
    } else if (key == HKEY_CLASSES_ROOT) {
        // Made again if a test deleted it, as Windows always has it.
        node = ensureChild(ensureChild(reg.machine, "SOFTWARE"), "Classes");
    } else {
        auto* open = reinterpret_cast<OpenKey*>(key);
        if (key == nullptr || reg.open.count(open) == 0) {
            return ERROR_INVALID_HANDLE;
        }
        node = open->node;
        access = open->access;
    }
    return node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

HKEY newHandle(Registry& reg, const NodePtr& node, REGSAM access) {
    auto* open = new OpenKey{node, access};
    reg.open.insert(open);
    return reinterpret_cast<HKEY>(open);
}

NodePtr walk(NodePtr node, const std::vector<std::string>& parts) {
    for (const auto& part : parts) {
        node = child(node, part);
        if (!node) {
            return nullptr;
        }
    }
    return node;
}

std::vector<Value>::iterator findValue(const NodePtr& node, LPCSTR name) {
    std::string_view wanted = name == nullptr ? "" : name;
    return std::find_if(node->values.begin(), node->values.end(),
                        [&](const Value& v) { return sameName(v.name, wanted); });
}

std::string valueLabel(LPCSTR name) {
    return (name == nullptr || *name == '\0') ? "@" : name;
}

// Copies stored bytes to a caller's buffer with the rules of RegQueryValueEx.
LSTATUS copyData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data != nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (type != nullptr) {
        *type = value.type;
    }
    const auto needed = static_cast<DWORD>(value.data.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed > 0) {
        std::memcpy(data, value.data.data(), needed);
    }
    if (size != nullptr) {
        *size = needed;
    }
    return ERROR_SUCCESS;
}

LSTATUS copyName(const std::string& name, LPSTR buffer, LPDWORD length) {
    if (buffer == nullptr || length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*length <= name.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void detach(const NodePtr& node) {
    if (auto parent = node->parent.lock()) {
        parent->children.erase(node->name);
    }
    markDeleted(node);
}

}  // namespace

extern "C" LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    node = walk(node, splitPath(subKey));
    if (!node) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (reg.denyWrites && (desired & kWriteRights) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    *result = newHandle(reg, node, desired);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM desired,
                                   const LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    auto parts = splitPath(subKey);
    NodePtr existing = walk(node, parts);
    if (reg.denyWrites && (!existing || (desired & kWriteRights) != 0)) {
        return ERROR_ACCESS_DENIED;
    }
    if (!existing && (access & KEY_CREATE_SUB_KEY) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    bool created = false;
    for (const auto& part : parts) {
        NodePtr next = child(node, part);
        if (!next) {
            next = makeNode(part, node);
            reg.log.push_back("create " + pathOf(next));
            created = true;
        }
        node = next;
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    if (created) {
        save(reg);
    }
    *result = newHandle(reg, node, desired);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                                  DWORD size) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    if (reg.denyWrites || (access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (data == nullptr && size != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    Value value;
    value.name = valueName == nullptr ? "" : valueName;
    value.type = type;
    if (size != 0) {
        value.data.assign(data, data + size);
    }
    auto same = findValue(node, valueName);
    if (same != node->values.end()) {
        *same = std::move(value);
    } else {
        node->values.push_back(std::move(value));
    }
    reg.log.push_back("set " + pathOf(node) + " " + valueLabel(valueName));
    save(reg);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size) {
    if (reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    if ((access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    auto found = findValue(node, valueName);
    if (found == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    return copyData(*found, type, data, size);
}

extern "C" LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    if (reg.denyWrites || (access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    auto found = findValue(node, valueName);
    if (found == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    node->values.erase(found);
    reg.log.push_back("delete-value " + pathOf(node) + " " + valueLabel(valueName));
    save(reg);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCloseKey(HKEY key) {
    if (isPredefined(key)) {
        return ERROR_SUCCESS;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto* open = reinterpret_cast<OpenKey*>(key);
    if (key == nullptr || reg.open.erase(open) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    delete open;
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    node = walk(node, splitPath(subKey));
    if (!node) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Windows refuses a key that still has subkeys, and the predefined roots.
    if (reg.denyWrites || isRoot(reg, node) || !node->children.empty()) {
        return ERROR_ACCESS_DENIED;
    }
    reg.log.push_back("delete " + pathOf(node));
    detach(node);
    save(reg);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                 LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                                 LPFILETIME lastWriteTime) {
    if (reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (index >= node->children.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto it = std::next(node->children.begin(), index);
    if (LSTATUS status = copyName(it->second->name, name, nameLength); status != ERROR_SUCCESS) {
        return status;
    }
    if (keyClass != nullptr && classLength != nullptr && *classLength > 0) {
        keyClass[0] = '\0';
        *classLength = 0;
    }
    if (lastWriteTime != nullptr) {
        *lastWriteTime = FILETIME{};
    }
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                                 LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    if ((access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (index >= node->values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const Value& value = node->values[index];
    if (LSTATUS status = copyName(value.name, valueName, valueNameLength);
        status != ERROR_SUCCESS) {
        return status;
    }
    return copyData(value, type, data, dataSize);
}

extern "C" LSTATUS SHDeleteKeyA(HKEY key, LPCSTR subKey) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    ensureLoaded(reg);
    NodePtr node;
    REGSAM access;
    if (LSTATUS status = resolve(reg, key, node, access); status != ERROR_SUCCESS) {
        return status;
    }
    node = walk(node, splitPath(subKey));
    if (!node) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (reg.denyWrites) {
        return ERROR_ACCESS_DENIED;
    }
    reg.log.push_back("delete " + pathOf(node));
    if (isRoot(reg, node)) {
        // As on Windows: everything below goes, the root itself stays.
        for (auto& [name, sub] : node->children) {
            markDeleted(sub);
        }
        node->children.clear();
        save(reg);
        return ERROR_ACCESS_DENIED;
    }
    detach(node);
    save(reg);
    return ERROR_SUCCESS;
}

namespace platform::posix::registry_testing {

void reset() {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    if (reg.loaded) {
        markDeleted(reg.machine);
        markDeleted(reg.user);
    }
    reg.loaded = false;
    reg.denyWrites = false;
    reg.log.clear();
}

void denyWrites(bool deny) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    reg.denyWrites = deny;
}

std::vector<std::string> writeLog() {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    return reg.log;
}

size_t openKeyCount() {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    return reg.open.size();
}

}  // namespace platform::posix::registry_testing