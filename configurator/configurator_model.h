// What MovraOPCConfigurator does, without a window: the device table, the checks of the device
// dialog, the poll-period rule, the load and the save. Every text the operator can see is produced
// here as data, so the dialogs only show it and tests read it without a window.
#pragma once

#include "common/config/config_file.h"
#include "platform/wide.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movra::configurator {

// A text made from a printf pattern; the configurator's messages and cells are made with it.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
    int length = std::snprintf(nullptr, 0, pattern, args...);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, args...);
    return text;
}

// Messages and names are UTF-8 (the dialogs widen them for the W window functions); what sits in an
// edit or a list cell is UTF-16 as the window holds it.
inline constexpr char kProgramName[] = "MovraOPCConfigurator";
inline constexpr char kMainTitle[] = "МОВРА OPC-конфигуратор - версия 1.08";
inline constexpr char kDeviceDialogTitle[] = "Параметры вычислителя";
inline constexpr char kErrorTitle[] = "Ошибка";
inline constexpr char kDeleteTitle[] = "Подтверждение удаления вычислителя";
inline constexpr char kConfigFileName[] = "MovraOPCServer.ini";

enum class MessageIcon { None, Error, Warning, Information, Question };
enum class MessageButtons { Ok, YesNo };

struct Message {
    std::string text;
    std::string title;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;

    bool operator==(const Message&) const = default;
};

// The lists of the device dialog, in their order; a record code is the position + 1.
inline constexpr std::array<const char*, 5> kDeviceTypeNames = {"КМТ", "КМТ-В", "КМТ-Г", "КМТ-У",
                                                                "КМТ-УВ"};
inline constexpr std::array<const char*, 2> kLinkNames = {"RS-232", "RS-485"};
inline constexpr std::array<const char*, 4> kBaudNames = {"2400", "4800", "9600", "19200"};
inline constexpr int kComPortCount = 255;
inline constexpr int kRs485AddressCount = 250;
inline constexpr uint32_t kMaxStartDelayMs = 10000;
inline constexpr uint32_t kMaxPeriodSec = 3600;
// The period edit and the serial edit take at most this many characters.
inline constexpr int kPeriodDigits = 4;
inline constexpr int kSerialDigits = 4;

// What the help button opens: the help file named after the program (its path with the
// extension .HLP) for WinHelp when it exists, else the operator's manual that the installer puts
// beside the program, for the shell's browser.
struct HelpPaths {
    platform::WString helpFile;
    platform::WString manual;  // manual\index.html in the program's folder
};
HelpPaths helpPathsOf(platform::WStringView programPath);

platform::WString comPortItem(int position);       // "COM%d" of position + 1
platform::WString rs485AddressItem(int position);  // "%03d" of position + 1

// What the device dialog shows and what the operator left in it. A list position of -1 is "no
// selection"; timestamp 0 UTC, 1 local time, 2 device clock, -1 none.
struct DeviceForm {
    platform::WString description;
    platform::WString serial;
    int deviceType = -1;
    int link = -1;
    int baud = -1;
    int comPort = -1;
    int rs485Address = -1;
    platform::WString startDelay;
    bool gcal = false;
    bool thousandCubicMetres = false;
    int timestamp = 0;
    bool riAdapter = false;

    // The RS-485 number list is usable only while RS-485 is chosen.
    bool rs485Enabled() const { return link == 1; }
};

inline constexpr int kColumnCount = 8;
using ListRow = std::array<platform::WString, kColumnCount>;

struct ColumnSpec {
    const char* heading;
    int widthPx;
};
inline constexpr std::array<ColumnSpec, kColumnCount> kColumns = {{
    {"", 0},
    {" Серийный номер", 110},
    {"Описание обслуживаемого объекта", 400},
    {"Тип вычислителя", 120},
    {"Тип связи", 100},
    {"Скорость обмена данными", 170},
    {"COM-порт", 80},
    {"Номер в сети RS-485", 140},
}};

// The outcome of "Сохранить изменения и выйти": the messages to show in order, whether the file
// was written (the program then ends) and, after a correction, the period to show in the edit.
struct SaveResult {
    std::vector<Message> messages;
    bool saved = false;
    std::optional<platform::WString> periodText;
};

// Step S and minimum M of the poll period for the devices of a table; step 0 means no rule.
struct PeriodRule {
    uint32_t step = 0;
    uint32_t minimum = 0;
};
PeriodRule periodRuleFor(const ConfiguratorTable& table);
// The nearest multiple of step; a remainder of step/2 or more rounds up.
uint32_t roundToStep(uint32_t period, uint32_t step);

// Decimal digits only, saturating at UINT32_MAX; "" is 0; anything else is no number.
std::optional<uint32_t> parseDecimal(platform::WStringView text);

// Four hex digits (either case) as the file's serial bytes 0, 0, d1d2, d3d4; the dialog's first two
// checks decide which message a bad text gets.
std::optional<std::array<uint8_t, 4>> parseSerial(platform::WStringView text);
platform::WString serialText(const DeviceRecord& record);

class ConfiguratorModel {
public:
    // configPath: the file beside the program; the dialogs pass it, tests pass a temporary one. A
    // path, not a narrow string, so a folder name outside the ANSI code page still works.
    explicit ConfiguratorModel(std::filesystem::path configPath);

    // The load at start; a message when the file was damaged and only part of it was read.
    std::optional<Message> load();

    const ConfiguratorTable& table() const { return table_; }
    uint32_t count() const { return table_.count; }
    const std::filesystem::path& configPath() const { return configPath_; }
    // The period edit at dialog start.
    platform::WString periodText() const;
    std::vector<ListRow> listRows() const;
    static ListRow listRowOf(const DeviceRecord& record);

    // Add: a refusal when the table is full.
    std::optional<Message> checkCanAdd() const;
    static DeviceForm newDeviceForm();
    DeviceForm editForm(uint32_t index) const;
    // The dialog's OK: the first failing check as a message, else the record is stored (a new one
    // at the end of the table) and nothing is returned.
    std::optional<Message> addDevice(const DeviceForm& form);
    std::optional<Message> editDevice(uint32_t index, const DeviceForm& form);
    // "Проверить связь": OK's checks and OK's refusal, or in `record` what OK would store at the
    // entry (no index: a new device); the table stays as it is.
    std::optional<Message> recordForCheck(std::optional<uint32_t> editIndex, const DeviceForm& form,
                                          DeviceRecord& record) const;

    // The focused row of the list (-1 for none) checked before an edit or a delete.
    std::optional<Message> checkEditSelection(int focusedRow) const;
    std::optional<Message> checkDeleteSelection(int focusedRow) const;
    static Message deleteConfirmation();
    // Later records move up; the freed entry becomes all zero.
    void deleteDevice(uint32_t index);

    SaveResult save(platform::WStringView periodText);
    static Message leaveConfirmation();

    static Message helpMissing(const std::string& helpPath);
    static Message helpFailed();

private:
    std::optional<Message> checkForm(uint32_t index, const DeviceForm& form,
                                     DeviceRecord& record) const;

    std::filesystem::path configPath_;
    ConfiguratorTable table_;
};

}  // namespace movra::configurator
