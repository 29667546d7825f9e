// MovraOPCCheck's argument rules, device keys, failure texts and configuration errors: no line is
// needed, so both builds run them.
#include "tools/check/check.h"

#include "common/config/config_file.h"
#include "platform/codepage.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace movra::check {
namespace {

struct DeviceCase {
    const char* text;
    bool ok;
    uint8_t type, link, baudCode, comPort, address, energy, gas, serialHigh, serialLow;
    const char* why;  // part of the reason when refused
};

TEST(CheckDeviceKeys, ParseIntoTheRecordTheServerWouldRead) {
    const DeviceCase cases[] = {
        {"model=KMT-U,serial=12AB,port=COM5,baud=19200,link=rs485,address=7,energy=Gcal,gas=km3",
         true, kTypeKmtU, kLinkRs485, 4, 5, 7, 1, 1, 0x12, 0xAB, ""},
        {"model=kmt,port=12", true, kTypeKmt, kLinkRs232, 3, 12, 1, 0, 0, 0, 0, ""},
        {"model=KMT-UV,port=com255,baud=2400,serial=00ff", true, kTypeKmtUV, kLinkRs232, 1, 255, 1,
         0, 0, 0x00, 0xFF, ""},
        {"model=KMT-V,port=1,baud=4800,energy=GJ,gas=m3", true, kTypeKmtV, kLinkRs232, 2, 1, 1, 0,
         0, 0, 0, ""},
        {"model=KMT-X,port=1", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "bad value \"KMT-X\" for model"},
        {"model=KMT,port=0", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for port"},
        {"model=KMT,port=COM256", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for port"},
        {"model=KMT,port=1,baud=1200", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for baud"},
        {"model=KMT,port=1,serial=12A", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for serial"},
        {"model=KMT,port=1,serial=12AG", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for serial"},
        {"model=KMT,port=1,address=251", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for address"},
        {"model=KMT,port=1,link=rs422", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for link"},
        {"model=KMT,port=1,energy=MWh", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "for energy"},
        {"model=KMT,port=1,colour=red", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "unknown key"},
        {"model=KMT,port", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "no key=value"},
        {"port=1", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "model= is missing"},
        {"model=KMT-G", false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "port= is missing"},
    };
    for (const DeviceCase& c : cases) {
        DeviceRecord device;
        std::string why;
        ASSERT_EQ(parseDevice(c.text, device, why), c.ok) << c.text << ": " << why;
        if (!c.ok) {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
            continue;
        }
        EXPECT_EQ(device.deviceType, c.type) << c.text;
        EXPECT_EQ(device.linkType, c.link) << c.text;
        EXPECT_EQ(device.baudCode, c.baudCode) << c.text;
        EXPECT_EQ(device.comPort, c.comPort) << c.text;
        EXPECT_EQ(device.rs485Address, c.address) << c.text;
        EXPECT_EQ(device.energyUnit, c.energy) << c.text;
        EXPECT_EQ(device.gasVolumeUnit, c.gas) << c.text;
        EXPECT_EQ(device.serial[2], c.serialHigh) << c.text;
        EXPECT_EQ(device.serial[3], c.serialLow) << c.text;
    }
}

struct FailureCase {
    HRESULT result;
    uint16_t linkError;
    ExchangeRecord record;
    const char* text;
};

TEST(CheckFailureTexts, NameEachReasonTheLinkCanGive) {
    const FailureCase cases[] = {
        {E_FAIL,
         ERR_NO_ANSWER,
         {ERR_NO_ANSWER, 0x50, 0, 0, 0},
         "no answer: the device was silent for 4 s after request 0x50"},
        {E_FAIL,
         ERR_NO_ANSWER,
         {ERR_NO_ANSWER, 0x50, 0x51, 0, 2},
         "foreign function code: the reply to request 0x50 came with 0x51 (2 such frame(s) "
         "passed over), then nothing"},
        {E_FAIL, ERR_CRC, {ERR_CRC, 0x51, 0x51, 0, 0}, "CRC error in the reply to request 0x51"},
        {E_FAIL,
         ERR_DEVICE,
         {ERR_DEVICE, 0x51, 0xD1, 5, 0},
         "error reply to request 0x51: function 0xD1, code 5"},
        {E_FAIL,
         ERR_INCOMPLETE,
         {ERR_INCOMPLETE, 0xB2, 0xB2, 0, 0},
         "malformed reply to request 0xB2: the frame stopped before its end"},
        // The connection took the frame whole; the model found it too short.
        {E_FAIL,
         ERR_INCOMPLETE,
         {ERR_NONE, 0xB2, 0xB2, 0, 0},
         "malformed reply to request 0xB2: shorter than the model's layout"},
        {E_FAIL,
         ERR_PORT_SETUP,
         {ERR_PORT_SETUP, 0x51, 0, 0, 0},
         "the port could not be reopened after a failed attempt"},
        {E_OUTOFMEMORY, ERR_NONE, {}, "out of memory"},
        {E_INVALIDARG, ERR_NONE, {}, "failed with 0x80070057, link error 0"},
    };
    for (const FailureCase& c : cases) {
        EXPECT_EQ(failureText(c.result, c.linkError, c.record, 4), c.text);
    }
}

TEST(CheckArguments, RefuseWhatTheProgramCannotDo) {
    const std::vector<std::vector<std::string>> refused = {
        {"--verbose"},
        {"--config"},
        {"--device"},
        {"--device", "model=KMT"},
        {"--config", "a.ini", "--device", "model=KMT,port=1"},
    };
    for (const auto& arguments : refused) {
        Options options;
        std::string why;
        EXPECT_FALSE(parseArguments(arguments, options, why)) << arguments[0];
        EXPECT_FALSE(why.empty());
    }
    Options options;
    std::string why;
    ASSERT_TRUE(parseArguments(
        {"--trace", "--device", "model=KMT,port=3", "--device", "model=KMT-G,port=4"}, options,
        why));
    EXPECT_TRUE(options.trace);
    ASSERT_EQ(options.devices.size(), 2u);
    EXPECT_EQ(options.devices[1].comPort, 4);
}

TEST(CheckArguments, FindTheServersConfigurationBesideTheProgram) {
    EXPECT_EQ(configurationPathBeside("C:\\Movra\\MovraOPCCheck.exe"),
              "C:\\Movra\\MovraOPCServer.ini");
    EXPECT_EQ(configurationPathBeside("/opt/movra/MovraOPCCheck"), "/opt/movra/MovraOPCServer.ini");
    EXPECT_EQ(configurationPathBeside("MovraOPCCheck"), "MovraOPCServer.ini");
}

// Runs the program's logic and keeps what it printed.
struct CheckRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
CheckRun runWith(const std::vector<std::string>& arguments, const std::string& programPath) {
    CheckRun run;
    run.exitCode = runCheck(
        arguments, programPath, [&run](std::string_view text) { run.out += text; },
        [&run](std::string_view text) { run.err += text; });
    return run;
}

TEST(CheckUsage, ErrorsExitWithTwoAndSayWhy) {
    test::TempDir folder;
    test::WriteFileBytes(folder.file("damaged.ini"), std::string("\x71\x3D\x8A\x3F\x05", 5));
    struct Case {
        std::vector<std::string> arguments;
        const char* said;
    } cases[] = {
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"--config", folder.file("absent.ini")}, "absent.ini cannot be opened: "},
        {{"--config", folder.file("damaged.ini")}, "damaged.ini is damaged"},
        {{}, "MovraOPCServer.ini cannot be opened"},  // none beside the program
    };
    for (const Case& c : cases) {
        CheckRun run = runWith(c.arguments, folder.file("MovraOPCCheck.exe"));
        EXPECT_EQ(run.exitCode, kUsage) << c.said;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    CheckRun help = runWith({"--help"}, folder.file("MovraOPCCheck.exe"));
    EXPECT_EQ(help.exitCode, kAllAnswered);
    EXPECT_NE(help.out.find("--device KEYS"), std::string::npos);
}

TEST(CheckUsage, AnEmptyConfigurationHasNothingToFail) {
    test::TempDir folder;
    ConfiguratorTable table;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encodeConfiguratorFile(table, bytes));
    test::WriteFileBytes(folder.file("MovraOPCServer.ini"),
                         std::string(bytes.begin(), bytes.end()));
    CheckRun run = runWith({}, folder.file("MovraOPCCheck.exe"));
    EXPECT_EQ(run.exitCode, kAllAnswered);
    EXPECT_NE(run.out.find("No device is configured."), std::string::npos) << run.out;
}

// A device whose type has no protocol fails before its port is touched, with its description
// turned from code page 1251 into UTF-8.
TEST(CheckUsage, ADeviceWithoutProtocolFailsAndItsDescriptionIsShownInUtf8) {
    test::TempDir folder;
    ConfiguratorTable table;
    table.count = 1;
    table.periodSec = 10;
    table.records[0].description = platform::utf8ToCp1251("Котельная №2");
    table.records[0].deviceType = kTypeCode6;
    table.records[0].linkType = kLinkRs232;
    table.records[0].baudCode = 3;
    table.records[0].comPort = 200;
    table.records[0].serial[2] = 0x0B;
    table.records[0].serial[3] = 0x2C;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encodeConfiguratorFile(table, bytes));
    test::WriteFileBytes(folder.file("other.ini"), std::string(bytes.begin(), bytes.end()));
    CheckRun run = runWith({"--config", folder.file("other.ini")}, "MovraOPCCheck");
    EXPECT_EQ(run.exitCode, kSomeFailed);
    EXPECT_NE(run.out.find("[1/1] 0B2C  Котельная №2\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("FAILED before the port was opened: no protocol speaks device type 6 "
                           "(after 0.0"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("0 of 1 device(s) answered"), std::string::npos);
}

}  // namespace
}  // namespace movra::check
