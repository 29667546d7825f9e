// "Проверить связь" and "Проверить все" without a window: the checks run on a thread of their own
// that a cancel stops within a second, and every text the operator sees of a result is made here,
// so the dialogs only show it and tests read it without a window.
#pragma once

#include "common/config/config_file.h"
#include "configurator/configurator_model.h"
#include "platform/clock.h"
#include "server/check/device_check.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace movra::configurator {

inline constexpr char kCheckResultTitle[] = "Результат проверки связи";
inline constexpr char kCheckAllTitle[] = "Проверка связи с вычислителями";
// At most this many values are shown of a device that answered.
inline constexpr size_t kShownValues = 8;

// What the operator sees of one device's check (UTF-8; every character is in code page 1251).
struct CheckReport {
    bool answered = false;    // identified and read
    bool sameSerial = false;  // and with the serial number entered
    std::string headline;     // one sentence over the details
    std::string details;      // lines separated by '\n'
    std::string summary;      // the one line of "Проверить все"
};

CheckReport describeCheck(const DeviceRecord& entered, const check::DeviceCheck& result);

// A value as the result shows it: "K01.T = 21,5 °C" (the configured units in Russian).
std::string valueLine(const check::Value& value);

// The rows of "Проверить все": serial, description, port, result.
inline constexpr int kCheckAllColumnCount = 4;
inline constexpr std::array<ColumnSpec, kCheckAllColumnCount> kCheckAllColumns = {{
    {"Серийный номер", 120},
    {"Описание обслуживаемого объекта", 260},
    {"COM-порт", 80},
    {"Результат проверки", 420},
}};
using CheckAllRow = std::array<platform::WString, kCheckAllColumnCount>;
// Before its check the result cell says so; `checking` while it runs.
CheckAllRow checkAllRow(const DeviceRecord& device, const std::optional<CheckReport>& report,
                        bool checking = false);
// The line under the list while the checks run and after them.
std::string checkAllProgress(size_t index, size_t count, const DeviceRecord& device);
std::string checkAllOutcome(size_t answered, size_t checked, size_t count, bool cancelled);
// "Проверить все" on an empty list.
Message nothingToCheck();

// The line of the device dialog while its check runs.
std::string checkRunningText(const DeviceRecord& device);

// The RI adapter devices on RS-485 of the table with `record` in place of entry `index` (index =
// count: added), as the server would count them.
uint16_t riRs485CountWith(const ConfiguratorTable& table, uint32_t index,
                          const DeviceRecord& record);

// Checks devices one after the other on a thread of its own, under the port mutex, as
// MovraOPCCheck does. The events come on that thread; the dialogs post them to their own.
class CheckRunner {
public:
    struct Events {
        std::function<void(size_t index)> started;
        std::function<void(size_t index)> finished;  // result(index) is there
        std::function<void()> done;                  // after the last, or after a cancel
    };

    explicit CheckRunner(Events events, platform::Clock& clock = platform::realClock());
    // Cancels and waits: closing a dialog stops its check.
    ~CheckRunner();
    CheckRunner(const CheckRunner&) = delete;
    CheckRunner& operator=(const CheckRunner&) = delete;

    // False while a run is still going; otherwise forgets the last run's results.
    bool start(std::vector<DeviceRecord> devices, uint16_t riRs485DeviceCount);
    // Returns at once; the device in hand ends as cancelled within a second, the rest are not
    // checked, and `done` follows.
    void cancel();
    // Until the thread has ended.
    void wait();

    bool running() const { return running_.load(); }
    bool cancelled() const { return stop_.load() != 0; }
    size_t count() const;
    std::optional<check::DeviceCheck> result(size_t index) const;

private:
    void run(std::vector<DeviceRecord> devices, uint16_t riRs485DeviceCount);

    Events events_;
    platform::Clock& clock_;
    std::atomic<LONG> stop_{0};
    std::atomic<bool> running_{false};
    mutable std::mutex resultsMutex_;
    std::vector<std::optional<check::DeviceCheck>> results_;
    std::thread thread_;
};

}  // namespace movra::configurator
