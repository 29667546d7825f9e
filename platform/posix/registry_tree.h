// The stand-in registry's tree of keys and values, shared by the Reg* calls and the file that
// MOVRA_REGISTRY names. Only platform/ includes it.
#pragma once

#include "platform/win.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix::registry_tree {

inline char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Windows compares key and value names ignoring case; the names here are ASCII or code page
// bytes, and only ASCII letters are folded.
inline bool sameName(std::string_view a, std::string_view b) {
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

inline NodePtr makeNode(const std::string& name, const NodePtr& parent) {
    auto node = std::make_shared<Node>();
    node->name = name;
    node->parent = parent;
    if (parent) {
        parent->children[name] = node;
    }
    return node;
}

inline NodePtr child(const NodePtr& node, const std::string& name) {
    auto found = node->children.find(name);
    return found == node->children.end() ? nullptr : found->second;
}

inline NodePtr ensureChild(const NodePtr& node, const std::string& name) {
    NodePtr existing = child(node, name);
    return existing ? existing : makeNode(name, node);
}

// The parts of a backslash-separated key path; empty parts are dropped.
std::vector<std::string> splitPath(LPCSTR subKey);

}  // namespace platform::posix::registry_tree

// The file of MOVRA_REGISTRY: both trees as text, one key per section as in a .reg file.
namespace platform::posix::registry_file {

// Adds what the file holds to the two trees; a missing file adds nothing, a line it cannot read
// is reported on stderr and passed over.
void load(const std::string& path, const registry_tree::NodePtr& machine,
          const registry_tree::NodePtr& user);
// Writes both trees; aside and renamed, so a reader never sees half a file.
void save(const std::string& path, const registry_tree::NodePtr& machine,
          const registry_tree::NodePtr& user);

}  // namespace platform::posix::registry_file
