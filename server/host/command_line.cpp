#include "server/host/command_line.h"

#include <cstring>
#include <string_view>

namespace movra {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - 'a' + 'A');
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char>(y - 'a' + 'A');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool startedByCom(const char* commandLine) {
    if (commandLine == nullptr) {
        return false;
    }
    constexpr std::string_view kWord = "Embedding";
    std::string_view text(commandLine);
    for (size_t at = 0; at + 1 + kWord.size() <= text.size(); ++at) {
        const bool wordEnds =
            at + 1 + kWord.size() == text.size() || text[at + 1 + kWord.size()] == ' ';
        if ((text[at] == '-' || text[at] == '/') && (at == 0 || text[at - 1] == ' ') && wordEnds &&
            equalsIgnoringCase(text.substr(at + 1, kWord.size()), kWord)) {
            return true;
        }
    }
    return false;
}

ServerSwitch parseServerSwitch(const char* commandLine) {
    if (commandLine == nullptr) {
        return ServerSwitch::None;
    }
    const char* mark = std::strchr(commandLine, '-');
    if (mark == nullptr) {
        mark = std::strchr(commandLine, '/');
    }
    if (mark == nullptr) {
        return ServerSwitch::None;
    }
    std::string_view word(mark + 1);
    if (equalsIgnoringCase(word, "Register") || equalsIgnoringCase(word, "R")) {
        return ServerSwitch::Register;
    }
    if (equalsIgnoringCase(word, "UnRegister") || equalsIgnoringCase(word, "U")) {
        return ServerSwitch::UnRegister;
    }
    return ServerSwitch::None;
}

std::string configurationPathOf(const std::string& modulePath) {
    // A path shorter than an extension cannot name the program; keep it whole and add one.
    if (modulePath.size() < 3) {
        return modulePath + ".ini";
    }
    return modulePath.substr(0, modulePath.size() - 3) + "ini";
}

}  // namespace movra
