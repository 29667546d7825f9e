// The real server program, run in a folder of its own as an operator would start it.
#include "platform/codepage.h"
#include "tests/support/test_support.h"
#include "tools/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

namespace movra {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string cp1251(const char* utf8) {
    return platform::utf8ToCp1251(utf8);
}

// Installs a copy of the program in `dir`: the configuration and the log live beside it.
std::string installServer(const TempDir& dir) {
    std::string program = dir.file("MovraOPCServer.exe");
    fs::copy_file(MOVRA_SERVER_PROGRAM, program, fs::copy_options::overwrite_existing);
    return program;
}

std::string emptyConfiguration(uint8_t periodSec) {
    std::string bytes("\x71\x3D\x8A\x3F\0\0\0\0", 8);
    bytes.push_back(static_cast<char>(periodSec));
    bytes.append("\0\0\0", 3);
    return bytes;
}

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1)) {
        ++count;
    }
    return count;
}

TEST(ServerProgram, WithoutConfigurationExitsWithMinusOneAndSaysWhy) {
    TempDir dir;
    toolsupport::ChildProcess server;
    ASSERT_TRUE(server.start(installServer(dir), {}, dir.path()));
    auto code = server.wait(30000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code & 0xFF, 0xFF);  // -1
    std::string log = test::ReadFileBytes(dir.file("log.txt"));
    EXPECT_NE(log.find(cp1251("Чтение параметров конфигурации OPC-сервера... "
                              "Ошибка при чтении файла конфигурации!\r\n"
                              "OPC-сервер завершает свою работу.")),
              std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 33), cp1251("OPC-сервер завершает свою работу."));
}

TEST(ServerProgram, EmptyTablePollsAboutOnceASecond) {
    TempDir dir;
    test::WriteFileBytes(dir.file("MovraOPCServer.ini"), emptyConfiguration(1));
    toolsupport::ChildProcess server;
    ASSERT_TRUE(server.start(installServer(dir), {"-Embedding"}, dir.path()));
    // Timed from the first cycle the log shows, not from the start, so a slow start on a busy
    // machine does not count: the second cycle follows after the warm-up, the third a second later.
    const std::string cycleLine = cp1251("Обмен данными с вычислителями... Ok.\r\n\r\n");
    using Steady = std::chrono::steady_clock;
    auto whenLogShows = [&](size_t cycles) -> std::optional<Steady::time_point> {
        for (const auto deadline = Steady::now() + std::chrono::seconds(20);
             Steady::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            if (fs::exists(dir.file("log.txt")) &&
                countOf(test::ReadFileBytes(dir.file("log.txt")), cycleLine) >= cycles) {
                return Steady::now();
            }
        }
        return std::nullopt;
    };
    const auto first = whenLogShows(1);
    const auto third = whenLogShows(3);
    EXPECT_TRUE(server.running());
    server.kill();
    ASSERT_TRUE(first && third) << "fewer than three cycles in 20 s";
    const auto apart = std::chrono::duration_cast<std::chrono::milliseconds>(*third - *first);
    EXPECT_GE(apart.count(), 900) << "polls faster than its period";
    EXPECT_LE(apart.count(), 3000) << "polls slower than its period";
    const std::string log = test::ReadFileBytes(dir.file("log.txt"));
    EXPECT_NE(log.find(cp1251("Чтение параметров конфигурации OPC-сервера... Ok.\r\n\r\n")),
              std::string::npos);
}

}  // namespace
}  // namespace movra
