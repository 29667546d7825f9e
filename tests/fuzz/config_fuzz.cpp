// The configuration file as both programs read it: the server's reader and the configurator's
// table over the same bytes must agree, a table that loaded whole must survive its own save, and
// the configurator's model must show and save whatever it loaded.
#include "common/config/config_file.h"
#include "configurator/configurator_model.h"
#include "tests/fuzz/fuzz_input.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace movra;

bool sameTable(const ConfiguratorTable& a, const ConfiguratorTable& b) {
    return a.count == b.count && a.periodSec == b.periodSec && a.records == b.records;
}

void checkReaders(std::span<const uint8_t> bytes) {
    ServerConfiguration server;
    const int serverRead = decodeServerConfiguration(bytes, server);
    ConfiguratorTable table;
    const LoadResult loaded = decodeConfiguratorFile(bytes, table);

    FUZZ_CHECK(table.count <= kMaxDevices && loaded.recordsRead == table.count);
    constexpr size_t kHeaderBytes = 12;
    FUZZ_CHECK((loaded.outcome == LoadOutcome::Loaded) ==
               (bytes.size() >= kHeaderBytes && table.count == loaded.recordsDeclared));
    for (uint32_t i = table.count; i < kMaxDevices; ++i) {
        FUZZ_CHECK(table.records[i] == DeviceRecord{});
    }
    if (serverRead == 0) {
        FUZZ_CHECK(server.devices.empty() && server.pollPeriodMs == 0);
        FUZZ_CHECK(loaded.outcome != LoadOutcome::Loaded || table.periodSec > kMaxPollPeriodSec);
    } else {
        FUZZ_CHECK(serverRead == 1);
        FUZZ_CHECK(loaded.outcome == LoadOutcome::Loaded);
        FUZZ_CHECK(server.deviceCount() == table.count);
        FUZZ_CHECK(server.pollPeriodMs == table.periodSec * 1000);
        FUZZ_CHECK(server.channelCounts.size() == table.count &&
                   server.nodeCounts.size() == table.count);
        uint16_t ri = 0;
        for (uint32_t i = 0; i < table.count; ++i) {
            FUZZ_CHECK(server.devices[i] == table.records[i]);
            FUZZ_CHECK(server.channelCounts[i] == channelCountOf(table.records[i].deviceType));
            ri += table.records[i].viaRiAdapter != 0 && table.records[i].linkType == kLinkRs485;
        }
        FUZZ_CHECK(server.riRs485DeviceCount == ri);
    }

    // What the configurator keeps it writes back unchanged, in the current format.
    std::vector<uint8_t> saved;
    FUZZ_CHECK(encodeConfiguratorFile(table, saved));
    ConfiguratorTable again;
    FUZZ_CHECK(decodeConfiguratorFile(saved, again).outcome == LoadOutcome::Loaded);
    FUZZ_CHECK(sameTable(table, again));
}

const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() /
                    ("movra-config-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder(), ignored);
        });
        return path;
    }();
    return folder;
}

void checkModel(std::span<const uint8_t> bytes) {
    const std::filesystem::path path = scratchFolder() / configurator::kConfigFileName;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    // The server reads the file as it reads the same bytes in memory.
    ServerConfiguration fromFile, fromBytes;
    FUZZ_CHECK(ReadConfiguration(path.string(), fromFile) ==
               decodeServerConfiguration(bytes, fromBytes));
    FUZZ_CHECK(fromFile.devices == fromBytes.devices &&
               fromFile.pollPeriodMs == fromBytes.pollPeriodMs);

    configurator::ConfiguratorModel model(path);
    const auto damage = model.load();
    ConfiguratorTable expected;
    const LoadResult loaded = decodeConfiguratorFile(bytes, expected);
    FUZZ_CHECK(damage.has_value() == (loaded.outcome == LoadOutcome::Damaged));
    FUZZ_CHECK(sameTable(model.table(), expected));

    FUZZ_CHECK(model.listRows().size() == model.count());
    for (uint32_t i = 0; i < model.count(); ++i) {
        const configurator::DeviceForm form = model.editForm(i);
        // A record the dialog accepts unchanged stays where it was.
        if (!model.editDevice(i, form)) {
            FUZZ_CHECK(model.count() == expected.count);
        }
    }
    const configurator::SaveResult result = model.save(model.periodText());
    FUZZ_CHECK(!result.messages.empty());
    if (result.saved) {
        ConfiguratorTable reread;
        FUZZ_CHECK(loadConfiguratorFile(path.string(), reread).outcome == LoadOutcome::Loaded);
        FUZZ_CHECK(sameTable(reread, model.table()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    checkReaders(bytes);
    checkModel(bytes);
    return 0;
}
