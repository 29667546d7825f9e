// MovraOPCCheck: polls the configured metering computers once and says which answered (check.h).
#include "platform/console.h"
#include "platform/win.h"
#include "tools/check/check.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    char programPath[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, programPath, MAX_PATH);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto out = [](std::string_view text) {
        platform::writeConsole(platform::ConsoleStream::Output, text);
    };
    auto err = [](std::string_view text) {
        platform::writeConsole(platform::ConsoleStream::Error, text);
    };
    return movra::check::runCheck(arguments, programPath, out, err);
}
