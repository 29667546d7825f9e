#include "server/core/log.h"

#include <cstdio>
#include <new>

namespace movra {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Text mode on Windows writes '\n' as CR LF; the file is written in binary mode and does it here,
// so both builds produce the same bytes.
void appendText(std::string& entry, std::string_view text) {
    for (char c : text) {
        if (c == '\n') {
            entry += kLineEnd;
        } else {
            entry.push_back(c);
        }
    }
}

void appendLineEnds(std::string& entry, int lineEnds) {
    for (int i = 0; i < lineEnds; ++i) {
        entry += kLineEnd;
    }
}

void appendTwoDigits(std::string& out, int value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02d", value);
    out += digits;
}

// A first unit in the Cyrillic block is a real UTF-16 name: as packed bytes its second byte
// would be 0x04, a control character no name holds.
bool isCyrillicUnit(char16_t unit) {
    return unit >= 0x0400 && unit <= 0x04FF;
}

}  // namespace

CMovraLog::CMovraLog(platform::Clock& clock) : clock(clock) {}

std::string CMovraLog::logPathFor(std::string_view modulePath) {
    size_t slash = modulePath.find_last_of("\\/");
    std::string folder(slash == std::string_view::npos ? std::string_view()
                                                       : modulePath.substr(0, slash + 1));
    return folder + "log.txt";
}

int CMovraLog::Open(const char* modulePath) {
    if (modulePath == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (ready) {
        return 0;
    }
    std::string candidate = logPathFor(modulePath);
    std::FILE* file = std::fopen(candidate.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fclose(file);
    logPath = std::move(candidate);
    ready = true;
    return 1;
}

bool CMovraLog::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex);
    return ready;
}

std::string CMovraLog::path() const {
    std::lock_guard<std::mutex> lock(mutex);
    return logPath;
}

void CMovraLog::setClientGroupNames(ClientGroupNames* resolver) noexcept {
    names.store(resolver);
}

std::string CMovraLog::timeLine() {
    SYSTEMTIME now = clock.localTime();
    std::string line;
    appendTwoDigits(line, now.wDay);
    line += '.';
    appendTwoDigits(line, now.wMonth);
    line += '.';
    appendTwoDigits(line, now.wYear - 2000);
    line += logtext::kYearMark.view();
    appendTwoDigits(line, now.wHour);
    line += ':';
    appendTwoDigits(line, now.wMinute);
    line += ':';
    appendTwoDigits(line, now.wSecond);
    line += kLineEnd;
    return line;
}

std::string CMovraLog::wideTextBytes(const WCHAR* text) {
    std::string bytes;
    if (text == nullptr || text[0] == 0) {
        return bytes;
    }
    auto first = static_cast<char16_t>(text[0]);
    if (first < 256 || isCyrillicUnit(first)) {
        for (size_t i = 0; text[i] != 0 && bytes.size() < kWideTextLimit; ++i) {
            auto unit = static_cast<char16_t>(text[i]);
            bytes.push_back(unit < 256 ? static_cast<char>(unit) : platform::unitToCp1251(unit));
        }
        return bytes;
    }
    // Packed 8-bit characters: the units are read only as far as the bytes go.
    for (size_t i = 0; bytes.size() < kWideTextLimit; ++i) {
        auto unit = static_cast<char16_t>(text[i]);
        auto low = static_cast<char>(unit & 0xFF);
        auto high = static_cast<char>(unit >> 8);
        if (low == 0) {
            break;
        }
        bytes.push_back(low);
        if (high == 0 || bytes.size() == kWideTextLimit) {
            break;
        }
        bytes.push_back(high);
    }
    return bytes;
}

void CMovraLog::appendLocked(std::string_view entry) noexcept {
    // "r+" as the program always did: a log deleted while the server runs is not created again,
    // and a file that cannot be opened drops the entry.
    std::FILE* file = std::fopen(logPath.c_str(), "r+b");
    if (file == nullptr) {
        return;
    }
    if (std::fseek(file, 0, SEEK_END) == 0) {
        std::fwrite(entry.data(), 1, entry.size(), file);
    }
    std::fclose(file);
}

int CMovraLog::Write(const char* text, int lineEnds, int withTime) noexcept {
    if (text == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!ready) {
        return 0;
    }
    // Building an entry can only fail for want of memory; the entry is then dropped, since the
    // log must never stop the server.
    try {
        std::string entry = withTime ? timeLine() : std::string();
        appendText(entry, text);
        appendLineEnds(entry, lineEnds);
        appendLocked(entry);
    } catch (...) {
    }
    return 1;
}

int CMovraLog::WriteWide(const WCHAR* text, int lineEnds, int withTime) noexcept {
    if (text == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!ready) {
        return 0;
    }
    try {
        std::string entry = withTime ? timeLine() : std::string();
        appendText(entry, wideTextBytes(text));
        appendLineEnds(entry, lineEnds);
        appendLocked(entry);
    } catch (...) {
    }
    return 1;
}

int CMovraLog::WriteClientGroup(const char* text, DWORD clientSlot, DWORD groupIndex) noexcept {
    ClientGroupNames* resolver = names.load();
    if (text == nullptr || resolver == nullptr) {
        return 0;
    }
    try {
        // Resolved before the log's lock is taken: the resolver takes the OPC layer's locks.
        platform::WString clientName;
        platform::WString groupName;
        if (!resolver->clientGroupNames(clientSlot, groupIndex, clientName, groupName)) {
            return 0;
        }
        return WriteClientGroup(text, clientName.c_str(), groupName.c_str());
    } catch (...) {
        return 0;
    }
}

int CMovraLog::WriteClientGroup(const char* text, const WCHAR* clientName,
                                const WCHAR* groupName) noexcept {
    if (text == nullptr || clientName == nullptr || groupName == nullptr) {
        return 0;
    }
    try {
        std::lock_guard<std::mutex> lock(mutex);
        if (!ready) {
            return 0;
        }
        // One entry rather than five, so another thread's line cannot land inside it.
        std::string entry = timeLine();
        appendText(entry, text);
        entry += logtext::kClientPrefix.view();
        appendText(entry, wideTextBytes(clientName));
        entry += logtext::kGroupPrefix.view();
        appendText(entry, wideTextBytes(groupName));
        entry += logtext::kClientGroupEnd.view();
        appendLocked(entry);
        return 1;
    } catch (...) {
        return 0;
    }
}

void writeExceptionOutcome(CMovraLog& log, std::exception_ptr failure) noexcept {
    const char* outcome = logtext::kError;
    try {
        if (failure) {
            std::rethrow_exception(failure);
        }
    } catch (const std::bad_alloc&) {
        outcome = logtext::kOutOfMemory;
    } catch (...) {
        // every other failure is reported as kError
    }
    log.Write(outcome, 2, false);
}

CMovraLog& movraLog() {
    // Never destroyed, so a thread still writing while the process ends finds it whole.
    static CMovraLog* log = new CMovraLog(platform::realClock());
    return *log;
}

}  // namespace movra
