#include "platform/console.h"

#include <cstdio>

namespace platform {

void writeConsole(ConsoleStream stream, std::string_view utf8) {
    std::FILE* file = stream == ConsoleStream::Error ? stderr : stdout;
    std::fwrite(utf8.data(), 1, utf8.size(), file);
    std::fflush(file);
}

}  // namespace platform
