#include "platform/console.h"

#include "platform/wide.h"

#include "platform/win.h"

#include <string>

namespace platform {

void writeConsole(ConsoleStream stream, std::string_view utf8) {
    HANDLE handle =
        GetStdHandle(stream == ConsoleStream::Error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || utf8.empty()) {
        return;
    }
    WString wide = utf8ToWide(utf8);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0) {
        codePage = GetACP();
    }
    int size = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), size,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace platform
