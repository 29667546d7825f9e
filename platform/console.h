// Text for a person at a console, from UTF-8: natively the bytes as they are; on Windows
// WriteConsoleW when the stream is a console, else the console's output code page (the ANSI code
// page when the process has no console), so a redirected report reads right in that console.
#pragma once

#include <string_view>

namespace platform {

enum class ConsoleStream { Output, Error };

// Written at once (not buffered), so progress shows while a device is being waited for.
void writeConsole(ConsoleStream stream, std::string_view utf8);

}  // namespace platform
