#include "platform/posix/registry_testing.h"
#include "platform/win.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Windows compares key and value names ignoring case; the names here are ASCII or code page
// bytes, and only ASCII letters are folded.
bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) {
                                                return static_cast<unsigned char>(asciiLower(x)) <
                                                       static_cast<unsigned char>(asciiLower(y));
                                            });
    }
};

struct Value {
    std::string name;  // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Node {
    std::string name;
    std::weak_ptr<Node> parent;
    // Sorted ignoring case, which is also the order Windows enumerates subkeys in.
    std::map<std::string, std::shared_ptr<Node>, NameLess> children;
    std::vector<Value> values;  // in the order they were first set
    bool deleted = false;
};

using NodePtr = std::shared_ptr<Node>;

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

NodePtr makeNode(const std::string& name, const NodePtr& parent) {
    auto node = std::make_shared<Node>();
    node->name = name;
    node->parent = parent;
    if (parent) {
        parent->children[name] = node;
    }
    return node;
}

NodePtr child(const NodePtr& node, const std::string& name) {
    auto found = node->children.find(name);
    return found == node->children.end() ? nullptr : found->second;
}

NodePtr ensureChild(const NodePtr& node, const std::string& name) {
    NodePtr existing = child(node, name);
    return existing ? existing : makeNode(name, node);
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

// --- The file of MOVRA_REGISTRY -------------------------------------------------------------
// A text file, one key per section as in a .reg file:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID\{...}\LocalServer32]
//   @=sz:"Z:\path\MovraOPCServer.exe\0"
//   "ThreadingModel"=sz:"Free\0"
//   "Count"=dword:0000000a
//   "Blob"=hex(3):01,02
// Key names escape '%', control and non-ASCII bytes as %XX. Value names and sz data are quoted
// with \\, \", \0 and \xXX escapes; the sz data is the stored bytes exactly, zero included.

constexpr char kFileHeader[] = "MOVRA-REGISTRY 1";
constexpr char kHex[] = "0123456789abcdef";

std::string escapeKeyName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c >= 0x7F || c == '%' || c == ']') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string quote(const BYTE* data, size_t size) {
    std::string out = "\"";
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = data[i];
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == 0) {
            out += "\\0";
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = asciiLower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// Reads a quoted text at text[pos]; moves pos past it.
std::optional<std::string> unquote(std::string_view text, size_t& pos) {
    if (pos >= text.size() || text[pos] != '"') {
        return std::nullopt;
    }
    std::string out;
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++pos >= text.size()) {
            return std::nullopt;
        }
        c = text[pos];
        if (c == '0') {
            out += '\0';
        } else if (c == 'x') {
            if (pos + 2 >= text.size() || hexDigit(text[pos + 1]) < 0 ||
                hexDigit(text[pos + 2]) < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(hexDigit(text[pos + 1]) * 16 + hexDigit(text[pos + 2]));
            pos += 2;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

void writeNode(std::ostream& out, const NodePtr& node, const std::string& path) {
    out << '[' << path << "]\n";
    for (const auto& value : node->values) {
        if (value.name.empty()) {
            out << '@';
        } else {
            out << quote(reinterpret_cast<const BYTE*>(value.name.data()), value.name.size());
        }
        out << '=';
        if (value.type == REG_SZ) {
            out << "sz:" << quote(value.data.data(), value.data.size());
        } else if (value.type == REG_DWORD && value.data.size() == 4) {
            DWORD number;
            std::memcpy(&number, value.data.data(), 4);
            char text[16];
            std::snprintf(text, sizeof text, "%08x", number);
            out << "dword:" << text;
        } else {
            out << "hex(" << value.type << "):";
            for (size_t i = 0; i < value.data.size(); ++i) {
                out << (i ? "," : "") << kHex[value.data[i] >> 4] << kHex[value.data[i] & 0x0F];
            }
        }
        out << '\n';
    }
    for (const auto& [name, sub] : node->children) {
        writeNode(out, sub, path + "\\" + escapeKeyName(sub->name));
    }
}

void save(Registry& reg) {
    if (reg.file.empty()) {
        return;
    }
    std::ostringstream text;
    text << kFileHeader << "\n";
    writeNode(text, reg.machine, reg.machine->name);
    writeNode(text, reg.user, reg.user->name);
    // Written aside and renamed, so a reader never sees half a file.
    std::string temporary = reg.file + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text.str();
        if (!out) {
            std::fprintf(stderr, "registry: cannot write %s\n", temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), reg.file.c_str()) != 0) {
        std::fprintf(stderr, "registry: cannot replace %s\n", reg.file.c_str());
    }
}

bool parseValueLine(const NodePtr& key, std::string_view line) {
    size_t pos = 0;
    std::string name;
    if (!line.empty() && line[0] == '@') {
        pos = 1;
    } else {
        auto quoted = unquote(line, pos);
        if (!quoted) {
            return false;
        }
        name = *quoted;
    }
    if (pos >= line.size() || line[pos] != '=') {
        return false;
    }
    std::string_view data = line.substr(pos + 1);
    Value value;
    value.name = name;
    if (data.starts_with("sz:")) {
        size_t at = 3;
        auto text = unquote(data, at);
        if (!text || at != data.size()) {
            return false;
        }
        value.type = REG_SZ;
        value.data.assign(text->begin(), text->end());
    } else if (data.starts_with("dword:") && data.size() == 14) {
        DWORD number = 0;
        for (char c : data.substr(6)) {
            int digit = hexDigit(c);
            if (digit < 0) {
                return false;
            }
            number = number * 16 + static_cast<DWORD>(digit);
        }
        value.type = REG_DWORD;
        value.data.resize(4);
        std::memcpy(value.data.data(), &number, 4);
    } else if (data.starts_with("hex(")) {
        auto close = data.find("):");
        if (close == std::string_view::npos) {
            return false;
        }
        value.type = static_cast<DWORD>(
            std::strtoul(std::string(data.substr(4, close - 4)).c_str(), nullptr, 10));
        std::string_view bytes = data.substr(close + 2);
        while (!bytes.empty()) {
            if (bytes.size() < 2 || hexDigit(bytes[0]) < 0 || hexDigit(bytes[1]) < 0) {
                return false;
            }
            value.data.push_back(static_cast<BYTE>(hexDigit(bytes[0]) * 16 + hexDigit(bytes[1])));
            bytes.remove_prefix(bytes.size() > 2 && bytes[2] == ',' ? 3 : 2);
        }
    } else {
        return false;
    }
    auto same = std::find_if(key->values.begin(), key->values.end(),
                             [&](const Value& v) { return sameName(v.name, value.name); });
    if (same != key->values.end()) {
        *same = std::move(value);
    } else {
        key->values.push_back(std::move(value));
    }
    return true;
}

NodePtr parseKeyLine(Registry& reg, std::string_view line) {
    if (line.size() < 2 || line.back() != ']') {
        return nullptr;
    }
    std::string path;
    std::string_view inner = line.substr(1, line.size() - 2);
    for (size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '%' && i + 2 < inner.size() && hexDigit(inner[i + 1]) >= 0 &&
            hexDigit(inner[i + 2]) >= 0) {
            path += static_cast<char>(hexDigit(inner[i + 1]) * 16 + hexDigit(inner[i + 2]));
            i += 2;
        } else {
            path += inner[i];
        }
    }
    auto parts = splitPath(path.c_str());
    if (parts.empty()) {
        return nullptr;
    }
    NodePtr node;
    if (sameName(parts[0], reg.machine->name)) {
        node = reg.machine;
    } else if (sameName(parts[0], reg.user->name)) {
        node = reg.user;
    } else {
        return nullptr;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        node = ensureChild(node, parts[i]);
    }
    return node;
}

void load(Registry& reg) {
    std::ifstream in(reg.file, std::ios::binary);
    if (!in) {
        return;  // no file yet: the starting tree
    }
    std::string line;
    NodePtr key;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == ';' || line == kFileHeader) {
            continue;
        }
        bool ok;
        if (line[0] == '[') {
            key = parseKeyLine(reg, line);
            ok = key != nullptr;
        } else {
            ok = key != nullptr && parseValueLine(key, line);
        }
        if (!ok) {
            std::fprintf(stderr, "registry: %s:%d: line ignored\n", reg.file.c_str(), number);
        }
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
        load(reg);
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
