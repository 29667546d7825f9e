// The server program polling a simulated device through a real Windows COM port: under Wine,
// COM<n> of the prefix is a pseudo-terminal whose far side is the device simulator (set up by
// sim_wine_run.sh with a KMT-U of two channels and two nodes, named in MOVRA_TEST_COM). The
// program runs in a folder of its own with a configuration of that one device, as an operator
// would install it. Windows build only.
#include "common/config/config_file.h"
#include "platform/codepage.h"
#include "tests/support/test_support.h"
#include "tools/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace movra {
namespace {

namespace fs = std::filesystem;

unsigned testPort() {
    const char* value = std::getenv("MOVRA_TEST_COM");
    return value != nullptr ? static_cast<unsigned>(std::atoi(value)) : 0;
}

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

std::string readLog(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error) ? test::ReadFileBytes(path) : std::string();
}

TEST(WineServerTest, PollsASimulatedDeviceThroughAMappedComPort) {
    if (testPort() == 0) {
        GTEST_SKIP() << "MOVRA_TEST_COM names no port; run through sim_wine_run.sh";
    }
    test::TempDir dir;
    const std::string program = dir.file("MovraOPCServer.exe");
    fs::copy_file(MOVRA_SERVER_PROGRAM, program, fs::copy_options::overwrite_existing);

    ConfiguratorTable table;
    table.count = 1;
    table.periodSec = 1;
    DeviceRecord& device = table.records[0];
    device.description = platform::utf8ToCp1251("Котельная 1");
    device.serial[2] = 0x12;
    device.serial[3] = 0xAB;
    device.deviceType = kTypeKmtU;
    device.linkType = kLinkRs232;
    device.baudCode = 4;
    device.comPort = static_cast<uint8_t>(testPort());
    ASSERT_TRUE(saveConfiguratorFile(dir.file("MovraOPCServer.ini"), table));

    toolsupport::ChildProcess server;
    ASSERT_TRUE(server.start(program, {"-Embedding"}, dir.path()));
    // The first cycle identifies, the second reads: both end with "Ok." when the device answers.
    // The log is looked at every 50 ms; a device that never answers fails after 60 s.
    const std::string answered =
        platform::utf8ToCp1251("Обмен данными с вычислителями... Ok.\r\n\r\n");
    const std::string logPath = dir.file("log.txt");
    std::string log;
    for (int waited = 0; waited < 60000 && countOf(log, answered) < 2; waited += 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = readLog(logPath);
    }
    EXPECT_TRUE(server.running());
    server.kill();
    server.wait(10000);
    EXPECT_GE(countOf(log, answered), 2u) << log;
    EXPECT_EQ(log.find(platform::utf8ToCp1251("Не все вычислители")), std::string::npos) << log;
    EXPECT_NE(log.find(platform::utf8ToCp1251("Чтение параметров конфигурации OPC-сервера... "
                                              "Ok.\r\n\r\n")),
              std::string::npos)
        << log;
}

}  // namespace
}  // namespace movra
