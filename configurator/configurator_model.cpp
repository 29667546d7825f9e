#include "configurator/configurator_model.h"

#include "platform/codepage.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <system_error>
#include <utility>

namespace movra::configurator {

namespace {

using platform::WString;
using platform::WStringView;

Message errorMessage(std::string text) {
    return {std::move(text), kErrorTitle, MessageIcon::Error, MessageButtons::Ok};
}

Message notice(std::string text, MessageIcon icon) {
    return {std::move(text), kProgramName, icon, MessageButtons::Ok};
}

WString widen(const std::string& ascii) {
    return platform::widenAscii(ascii);
}

int hexDigit(WCHAR c) {
    if (c >= U16('0') && c <= U16('9')) {
        return c - U16('0');
    }
    if (c >= U16('A') && c <= U16('F')) {
        return c - U16('A') + 10;
    }
    if (c >= U16('a') && c <= U16('f')) {
        return c - U16('a') + 10;
    }
    return -1;
}

// A list code shown at its position; a code the list does not hold selects nothing.
int positionOf(uint8_t code, int itemCount) {
    return code >= 1 && code <= itemCount ? code - 1 : -1;
}

template <size_t N>
WString nameOf(const std::array<const char*, N>& names, uint8_t code) {
    return code >= 1 && code <= N ? platform::utf8ToWide(names[code - 1]) : WString();
}

const char* const kBaudCells[] = {" 2400", " 4800", " 9600", "19200"};

// The file whole, or nothing when it cannot be opened; a file larger than any configuration is
// cut, which the decoder then reports as damaged.
std::optional<std::vector<uint8_t>> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    char chunk[4096];
    while (bytes.size() < kMaxFileBytes && in.read(chunk, sizeof chunk).gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    }
    if (bytes.size() > kMaxFileBytes) {
        bytes.resize(kMaxFileBytes);
    }
    return bytes;
}

bool writeWhole(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

// The new file is written beside the old one and then put in its place, so a failed save (a full
// disk, a lost network folder) never leaves the server a damaged configuration. Where no file can
// be created beside it (only the file itself is writable) it is written in place.
bool writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::path fresh = path;
    fresh += ".new";
    std::error_code ignored;
    {
        std::ofstream probe(fresh, std::ios::binary | std::ios::trunc);
        if (!probe) {
            return writeWhole(path, bytes);
        }
    }
    if (!writeWhole(fresh, bytes)) {
        std::filesystem::remove(fresh, ignored);
        return false;
    }
    std::error_code error;
    std::filesystem::rename(fresh, path, error);
    if (error) {
        std::filesystem::remove(fresh, ignored);
        return false;
    }
    return true;
}

}  // namespace

WString comPortItem(int position) {
    return widen(format("COM%d", position + 1));
}

WString rs485AddressItem(int position) {
    return widen(format("%03d", position + 1));
}

PeriodRule periodRuleFor(const ConfiguratorTable& table) {
    uint32_t k = 0, v = 0, u = 0;
    for (uint32_t i = 0; i < table.count && i < kMaxDevices; ++i) {
        switch (table.records[i].deviceType) {
            case kTypeKmt:
                ++k;
                break;
            case kTypeKmtV:
            case kTypeKmtG:
            case kTypeCode6:
                ++v;
                break;
            case kTypeKmtU:
            case kTypeKmtUV:
                ++u;
                break;
            default:
                break;
        }
    }
    PeriodRule rule;
    if (k == 0) {
        rule.step = u > 0 ? (v > 0 ? 12 : 6) : (v > 0 ? 4 : 0);
    } else {
        rule.step = u > 0 ? 24 : (v > 0 ? 16 : 8);
    }
    rule.minimum = 16 * k + 4 * v + 6 * u;
    if (rule.step != 0 && rule.minimum % rule.step != 0) {
        rule.minimum += rule.step - rule.minimum % rule.step;
    }
    if (k == 1 && v == 0 && u == 0) {
        rule.minimum = 8;
    }
    return rule;
}

uint32_t roundToStep(uint32_t period, uint32_t step) {
    if (step == 0) {
        return period;
    }
    uint32_t remainder = period % step;
    return remainder >= step / 2 ? period - remainder + step : period - remainder;
}

std::optional<uint32_t> parseDecimal(WStringView text) {
    uint64_t value = 0;
    for (WCHAR c : text) {
        if (c < U16('0') || c > U16('9')) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - U16('0'));
        if (value > std::numeric_limits<uint32_t>::max()) {
            value = std::numeric_limits<uint32_t>::max();
        }
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::array<uint8_t, 4>> parseSerial(WStringView text) {
    if (text.size() != kSerialDigits) {
        return std::nullopt;
    }
    int digits[kSerialDigits];
    for (int i = 0; i < kSerialDigits; ++i) {
        digits[i] = hexDigit(text[i]);
        if (digits[i] < 0) {
            return std::nullopt;
        }
    }
    return std::array<uint8_t, 4>{0, 0, static_cast<uint8_t>(digits[0] * 16 + digits[1]),
                                  static_cast<uint8_t>(digits[2] * 16 + digits[3])};
}

WString serialText(const DeviceRecord& record) {
    return widen(format("%02X%02X", record.serial[2], record.serial[3]));
}

ConfiguratorModel::ConfiguratorModel(std::filesystem::path configPath)
    : configPath_(std::move(configPath)) {}

std::optional<Message> ConfiguratorModel::load() {
    table_ = ConfiguratorTable{};
    auto bytes = readFile(configPath_);
    if (!bytes) {
        return std::nullopt;  // no file yet: an empty list
    }
    LoadResult result = decodeConfiguratorFile(*bytes, table_);
    if (result.outcome != LoadOutcome::Damaged) {
        return std::nullopt;
    }
    // The operator decides whether to save what was kept: saving overwrites the damaged file.
    return errorMessage(format(
        "Файл конфигурации \"%s\" поврежден! Прочитано вычислителей: %u из %u. Проверьте список "
        "вычислителей перед сохранением: при сохранении файл будет перезаписан.",
        kConfigFileName, static_cast<unsigned>(result.recordsRead),
        static_cast<unsigned>(result.recordsDeclared)));
}

WString ConfiguratorModel::periodText() const {
    return widen(format("%u", static_cast<unsigned>(table_.periodSec)));
}

ListRow ConfiguratorModel::listRowOf(const DeviceRecord& record) {
    ListRow row;
    row[1] = serialText(record);
    row[2] = platform::cp1251ToWide(record.description);
    row[3] = nameOf(kDeviceTypeNames, record.deviceType);
    row[4] = nameOf(kLinkNames, record.linkType);
    if (record.baudCode >= 1 && record.baudCode <= 4) {
        row[5] = widen(kBaudCells[record.baudCode - 1]);
    }
    row[6] = widen(format("COM %d", record.comPort));
    row[7] = record.linkType == kLinkRs485 ? widen(format("%03d", record.rs485Address))
                                           : platform::utf8ToWide("нет номера");
    return row;
}

std::vector<ListRow> ConfiguratorModel::listRows() const {
    std::vector<ListRow> rows;
    for (uint32_t i = 0; i < table_.count; ++i) {
        rows.push_back(listRowOf(table_.records[i]));
    }
    return rows;
}

std::optional<Message> ConfiguratorModel::checkCanAdd() const {
    if (table_.count >= kMaxDevices) {
        return notice(format("Количество вычислителей в конфигурации не может превышать %d!",
                             static_cast<int>(kMaxDevices)),
                      MessageIcon::Warning);
    }
    return std::nullopt;
}

DeviceForm ConfiguratorModel::newDeviceForm() {
    DeviceForm form;
    form.description = platform::utf8ToWide("Неизвестный объект");
    form.serial = U16("NNNN");
    form.startDelay = U16("0");
    form.timestamp = 0;
    return form;
}

DeviceForm ConfiguratorModel::editForm(uint32_t index) const {
    const DeviceRecord& record = table_.records.at(index);
    DeviceForm form;
    form.description = platform::cp1251ToWide(record.description);
    form.serial = serialText(record);
    form.deviceType = positionOf(record.deviceType, static_cast<int>(kDeviceTypeNames.size()));
    form.link = positionOf(record.linkType, static_cast<int>(kLinkNames.size()));
    form.baud = positionOf(record.baudCode, static_cast<int>(kBaudNames.size()));
    form.comPort = positionOf(record.comPort, kComPortCount);
    form.rs485Address =
        record.linkType == kLinkRs485 ? positionOf(record.rs485Address, kRs485AddressCount) : -1;
    form.startDelay = widen(format("%d", record.startDelayMs));
    form.gcal = record.energyUnit != 0;
    form.thousandCubicMetres = record.gasVolumeUnit != 0;
    form.timestamp = record.timestampSource <= 2 ? record.timestampSource : -1;
    form.riAdapter = record.viaRiAdapter != 0;
    return form;
}

std::optional<Message> ConfiguratorModel::checkForm(uint32_t index, const DeviceForm& form,
                                                    DeviceRecord& record) const {
    if (form.serial.empty() || hexDigit(form.serial[0]) < 0) {
        return errorMessage("Не введен серийный номер вычислителя!");
    }
    auto serial = parseSerial(form.serial);
    if (!serial) {
        return errorMessage("Введен некорректный серийный номер вычислителя!");
    }
    for (uint32_t i = 0; i < table_.count; ++i) {
        const uint8_t* other = table_.records[i].serial;
        if (i != index && std::equal(serial->begin(), serial->end(), other)) {
            return errorMessage(
                "Вычислитель с таким серийным номером уже задан в текущей конфигурации!");
        }
    }
    if (form.deviceType < 0 || form.deviceType >= static_cast<int>(kDeviceTypeNames.size())) {
        return errorMessage("Не указан тип вычислителя!");
    }
    if (form.link < 0 || form.link >= static_cast<int>(kLinkNames.size())) {
        return errorMessage("Не указан тип связи!");
    }
    if (form.baud < 0 || form.baud >= static_cast<int>(kBaudNames.size())) {
        return errorMessage("Не указана скорость обмена данными!");
    }
    if (form.comPort < 0 || form.comPort >= kComPortCount) {
        return errorMessage("Не указан COM-порт для связи с вычислителем!");
    }
    if (form.rs485Enabled() && (form.rs485Address < 0 || form.rs485Address >= kRs485AddressCount)) {
        return errorMessage("Не указан номер вычислителя в сети RS-485!");
    }
    // The whole text counts: a value past 16 bits must not wrap into the allowed range.
    auto delay = parseDecimal(form.startDelay);
    if (!delay) {
        return errorMessage(
            "Задержка перед началом опроса вычислителя должна быть задана целым числом "
            "миллисекунд!");
    }
    if (*delay > kMaxStartDelayMs) {
        return errorMessage(
            "Задержка перед началом опроса вычислителя не должна превышать 10000 мс!");
    }

    record.description = platform::wideToCp1251(form.description);
    std::copy(serial->begin(), serial->end(), record.serial);
    record.deviceType = static_cast<uint8_t>(form.deviceType + 1);
    record.linkType = static_cast<uint8_t>(form.link + 1);
    record.baudCode = static_cast<uint8_t>(form.baud + 1);
    record.comPort = static_cast<uint8_t>(form.comPort + 1);
    if (form.rs485Enabled()) {
        record.rs485Address = static_cast<uint8_t>(form.rs485Address + 1);
    }
    record.startDelayMs = static_cast<uint16_t>(*delay);
    record.energyUnit = form.gcal ? 1 : 0;
    record.gasVolumeUnit = form.thousandCubicMetres ? 1 : 0;
    if (form.timestamp >= 0 && form.timestamp <= 2) {
        record.timestampSource = static_cast<uint8_t>(form.timestamp);
    }
    record.viaRiAdapter = form.riAdapter ? 1 : 0;
    return std::nullopt;
}

std::optional<Message> ConfiguratorModel::addDevice(const DeviceForm& form) {
    DeviceRecord record;
    if (auto refusal = recordForCheck(std::nullopt, form, record)) {
        return refusal;
    }
    table_.records[table_.count] = std::move(record);
    ++table_.count;
    return std::nullopt;
}

std::optional<Message> ConfiguratorModel::editDevice(uint32_t index, const DeviceForm& form) {
    DeviceRecord record;
    if (auto refusal = recordForCheck(index, form, record)) {
        return refusal;
    }
    table_.records[index] = std::move(record);
    return std::nullopt;
}

std::optional<Message> ConfiguratorModel::recordForCheck(std::optional<uint32_t> editIndex,
                                                         const DeviceForm& form,
                                                         DeviceRecord& record) const {
    if (editIndex && *editIndex >= table_.count) {
        return checkEditSelection(-1);
    }
    if (!editIndex) {
        if (auto refusal = checkCanAdd()) {
            return refusal;
        }
    }
    // A new device starts from zeros, reserved fields included; an edited one keeps the fields the
    // dialog does not show.
    DeviceRecord candidate = editIndex ? table_.records[*editIndex] : DeviceRecord{};
    if (auto refusal = checkForm(editIndex.value_or(table_.count), form, candidate)) {
        return refusal;
    }
    record = std::move(candidate);
    return std::nullopt;
}

std::optional<Message> ConfiguratorModel::checkEditSelection(int focusedRow) const {
    if (focusedRow < 0 || static_cast<uint32_t>(focusedRow) >= table_.count) {
        return notice("Укажите вычислитель для редактирования!", MessageIcon::Warning);
    }
    return std::nullopt;
}

std::optional<Message> ConfiguratorModel::checkDeleteSelection(int focusedRow) const {
    if (focusedRow < 0 || static_cast<uint32_t>(focusedRow) >= table_.count) {
        return notice("Укажите вычислитель для удаления!", MessageIcon::Warning);
    }
    return std::nullopt;
}

Message ConfiguratorModel::deleteConfirmation() {
    return {"Вы уверены, что хотите удалить данный вычислитель из конфигурации?", kDeleteTitle,
            MessageIcon::Question, MessageButtons::YesNo};
}

void ConfiguratorModel::deleteDevice(uint32_t index) {
    if (index >= table_.count) {
        return;
    }
    for (uint32_t i = index; i + 1 < table_.count; ++i) {
        table_.records[i] = std::move(table_.records[i + 1]);
    }
    --table_.count;
    table_.records[table_.count] = DeviceRecord{};
}

SaveResult ConfiguratorModel::save(WStringView periodText) {
    SaveResult result;
    uint32_t period = 0;
    if (table_.count > 0) {
        auto parsed = parseDecimal(periodText);
        if (!parsed) {
            result.messages.push_back(
                errorMessage("Период опроса должен быть задан целым числом секунд!"));
            return result;
        }
        period = *parsed;
        if (period == 0) {
            result.messages.push_back(errorMessage("Период опроса должен быть больше нуля!"));
            return result;
        }
        if (period > kMaxPeriodSec) {
            result.messages.push_back(errorMessage("Период опроса не должен превышать 3600 сек!"));
            return result;
        }
        PeriodRule rule = periodRuleFor(table_);
        if (period < rule.minimum) {
            result.messages.push_back(errorMessage(
                format("Для заданной конфигурации период опроса должен быть не менее %u сек!",
                       static_cast<unsigned>(rule.minimum))));
            return result;
        }
        if (rule.step != 0 && period % rule.step != 0) {
            period = roundToStep(period, rule.step);
            result.messages.push_back(notice(format("Период опроса был скорректирован до %u сек!",
                                                    static_cast<unsigned>(period)),
                                             MessageIcon::Information));
            result.periodText = widen(format("%u", static_cast<unsigned>(period)));
        }
    }
    table_.periodSec = period;
    std::vector<uint8_t> bytes;
    if (!encodeConfiguratorFile(table_, bytes) || !writeFile(configPath_, bytes)) {
        result.messages.push_back(errorMessage("Ошибка при сохранении файла конфигурации!"));
        return result;
    }
    result.messages.push_back(
        notice("Конфигурация была успешно сохранена!", MessageIcon::Information));
    result.saved = true;
    return result;
}

Message ConfiguratorModel::leaveConfirmation() {
    return {"Выйти из программы без сохранения сделанных изменений?", "", MessageIcon::Question,
            MessageButtons::YesNo};
}

Message ConfiguratorModel::helpMissing(const std::string& helpPath) {
    return errorMessage("Не найден файл справочного руководства \"" + helpPath + "\"!");
}

Message ConfiguratorModel::helpFailed() {
    return errorMessage("Не удалось открыть справочное руководство!");
}

HelpPaths helpPathsOf(platform::WStringView programPath) {
    const size_t slash = programPath.find_last_of(static_cast<WCHAR>('\\'));
    const size_t folderEnd = slash == platform::WStringView::npos ? 0 : slash + 1;
    const size_t dot = programPath.find_last_of(static_cast<WCHAR>('.'));
    const platform::WStringView stem = dot != platform::WStringView::npos && dot >= folderEnd
                                           ? programPath.substr(0, dot)
                                           : programPath;
    HelpPaths paths;
    paths.helpFile = platform::WString(stem) + platform::widenAscii(".HLP");
    paths.manual = platform::WString(programPath.substr(0, folderEnd)) +
                   platform::widenAscii("manual\\index.html");
    return paths;
}

}  // namespace movra::configurator
