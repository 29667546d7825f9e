// The file of MOVRA_REGISTRY: a text file, one key per section as in a .reg file:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID\{...}\LocalServer32]
//   @=sz:"Z:\path\MovraOPCServer.exe\0"
//   "ThreadingModel"=sz:"Free\0"
//   "Count"=dword:0000000a
//   "Blob"=hex(3):01,02
// Key names escape '%', control and non-ASCII bytes as %XX. Value names and sz data are quoted
// with \\, \", \0 and \xXX escapes; the sz data is the stored bytes exactly, zero included.
#include "platform/posix/registry_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace platform::posix::registry_file {

namespace {

using namespace registry_tree;

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

NodePtr parseKeyLine(const NodePtr& machine, const NodePtr& user, std::string_view line) {
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
    if (sameName(parts[0], machine->name)) {
        node = machine;
    } else if (sameName(parts[0], user->name)) {
        node = user;
    } else {
        return nullptr;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        node = ensureChild(node, parts[i]);
    }
    return node;
}

}  // namespace

void load(const std::string& path, const NodePtr& machine, const NodePtr& user) {
    std::ifstream in(path, std::ios::binary);
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
            key = parseKeyLine(machine, user, line);
            ok = key != nullptr;
        } else {
            ok = key != nullptr && parseValueLine(key, line);
        }
        if (!ok) {
            std::fprintf(stderr, "registry: %s:%d: line ignored\n", path.c_str(), number);
        }
    }
}

void save(const std::string& path, const NodePtr& machine, const NodePtr& user) {
    std::ostringstream text;
    text << kFileHeader << "\n";
    writeNode(text, machine, machine->name);
    writeNode(text, user, user->name);
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text.str();
        if (!out) {
            std::fprintf(stderr, "registry: cannot write %s\n", temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "registry: cannot replace %s\n", path.c_str());
    }
}

}  // namespace platform::posix::registry_file
