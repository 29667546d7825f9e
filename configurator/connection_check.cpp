#include "configurator/connection_check.h"

#include "platform/codepage.h"
#include "platform/handle_ptr.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

namespace movra::configurator {

namespace {

using check::Reason;
using check::Stage;

std::string serialOf(uint8_t high, uint8_t low) {
    return format("%02X%02X", high, low);
}

std::string portOf(const DeviceRecord& device) {
    return format("COM%d", device.comPort);
}

std::string typeName(uint8_t deviceType) {
    return deviceType >= 1 && deviceType <= kDeviceTypeNames.size()
               ? kDeviceTypeNames[deviceType - 1]
               : format("код %d", deviceType);
}

std::string baudOf(const DeviceRecord& device) {
    return device.baudCode >= 1 && device.baudCode <= kBaudNames.size()
               ? kBaudNames[device.baudCode - 1]
               : std::string("9600");
}

// A number as Russian texts write it: a decimal comma.
std::string decimal(double value, const char* pattern) {
    std::string text = format(pattern, value);
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

bool isRs485(const DeviceRecord& device) {
    return device.linkType == kLinkRs485;
}

// Where the device was asked: "по адресу 001 на скорости 19200 бод" or "на скорости 19200 бод".
std::string whereAsked(const DeviceRecord& device) {
    std::string where = "на скорости " + baudOf(device) + " бод";
    return isRs485(device) ? format("по адресу %03d ", device.rs485Address) + where : where;
}

// The fields that point at the device on the line.
std::string addressFields(const DeviceRecord& device) {
    return isRs485(device) ? "\"COM-порт для связи с вычислителем\" и \"Номер вычислителя в сети "
                             "RS-485\""
                           : "\"COM-порт для связи с вычислителем\"";
}

std::string request(const check::Failure& failure) {
    return format("0x%02X", failure.record.requestFunction);
}

struct Explained {
    std::string reason;   // what happened, one sentence
    std::string advice;   // what to do, naming the fields
    std::string summary;  // the one line
};

Explained explain(const DeviceRecord& device, const check::Failure& failure) {
    const std::string port = portOf(device);
    switch (failure.reason) {
        case Reason::NoProtocol:
            return {
                format("Для типа вычислителя с кодом %d нет протокола обмена.", device.deviceType),
                "Исправьте поле \"Тип вычислителя\".",
                format("нет протокола для типа с кодом %d", device.deviceType)};
        case Reason::PortUnavailable:
            return {"Порт " + port + " не найден или занят другой программой.",
                    "Проверьте поле \"COM-порт для связи с вычислителем\" и закройте программы, "
                    "которые используют " +
                        port + ".",
                    port + " не найден или занят"};
        case Reason::NoAnswer:
            return {format("Нет ответа %s: вычислитель молчал %u с после запроса %s.",
                           whereAsked(device).c_str(), static_cast<unsigned>(failure.silenceSec),
                           request(failure).c_str()),
                    std::string("Проверьте поля ") +
                        (isRs485(device) ? "\"Номер вычислителя в сети RS-485\", " : "") +
                        "\"Скорость обмена данными\" и \"Тип вычислителя\", подключение линии к " +
                        port + " и питание вычислителя.",
                    "нет ответа " + whereAsked(device)};
        case Reason::ForeignReply:
            return {format("Ответил вычислитель другой модели: на запрос %s пришел ответ с "
                           "функцией 0x%02X.",
                           request(failure).c_str(), failure.record.replyFunction),
                    "Исправьте поле \"Тип вычислителя\".",
                    "ответ другой модели: исправьте тип вычислителя"};
        case Reason::ShorterThanModel:
            return {"Искаженный ответ на запрос " + request(failure) + ": он короче, чем у " +
                        typeName(device.deviceType) + ".",
                    "Возможно, подключен вычислитель другой модели: проверьте поле \"Тип "
                    "вычислителя\".",
                    "искаженный ответ: короче, чем у " + typeName(device.deviceType)};
        case Reason::CutShort:
            return {"Искаженный ответ на запрос " + request(failure) + ": кадр оборвался.",
                    "Проверьте линию связи и поле \"Скорость обмена данными\".",
                    "искаженный ответ: кадр оборвался"};
        case Reason::Crc:
            return {"Ошибка CRC в ответе на запрос " + request(failure) + ".",
                    "Проверьте линию связи (помехи, экран кабеля) и поле \"Скорость обмена "
                    "данными\".",
                    "ошибка CRC в ответе"};
        case Reason::DeviceError:
            return {
                format("Вычислитель ответил сообщением об ошибке на запрос %s: код ошибки %u.",
                       request(failure).c_str(), static_cast<unsigned>(failure.record.errorCode)),
                "Проверьте поле \"Тип вычислителя\" и настройки вычислителя.",
                format("ответ с ошибкой, код %u", static_cast<unsigned>(failure.record.errorCode))};
        case Reason::PortReopen:
            return {"Порт " + port + " не удалось открыть повторно после неудачной попытки.",
                    "Проверьте, не занят ли " + port + " другой программой.",
                    port + " не открылся повторно"};
        case Reason::OutOfMemory:
            return {"Не хватает памяти.", "Закройте другие программы и повторите проверку.",
                    "не хватает памяти"};
        case Reason::Cancelled:
            return {"Проверка прервана.", "", "проверка прервана"};
        case Reason::Other:
            break;
    }
    return {format("Ошибка обмена 0x%08lX (код ошибки связи %u).",
                   static_cast<unsigned long>(static_cast<uint32_t>(failure.result)),
                   static_cast<unsigned>(failure.linkError)),
            "",
            format("ошибка обмена 0x%08lX",
                   static_cast<unsigned long>(static_cast<uint32_t>(failure.result)))};
}

std::string identityLines(const DeviceRecord& device, const check::Identification& identification) {
    const std::string version =
        check::versionText(modelOf(device.deviceType), identification.identity);
    return "Серийный номер: " + serialOf(identification.serialHigh(), identification.serialLow()) +
           "\nТип вычислителя: " + typeName(device.deviceType) +
           "\nВерсия: " + (version.empty() ? std::string("-") : version) +
           format("\nКаналов: %u из %u\nУзлов: %u из %u",
                  static_cast<unsigned>(identification.reportedChannels),
                  static_cast<unsigned>(identification.maxChannels),
                  static_cast<unsigned>(identification.reportedNodes),
                  static_cast<unsigned>(identification.maxNodes));
}

// The values an operator knows a meter by: the device's own, then temperature, pressure, flows,
// volume, mass and energy of the first channel and the first node.
constexpr std::string_view kPreferred[] = {"SYS.Pa", "K01.T", "K01.P", "K01.G", "K01.V",
                                           "K01.M",  "K01.N", "U01.W", "U01.N"};

std::vector<const check::Value*> shownValues(const std::vector<check::Value>& values) {
    std::vector<const check::Value*> shown;
    for (std::string_view name : kPreferred) {
        auto found = std::find_if(values.begin(), values.end(),
                                  [name](const check::Value& value) { return value.name == name; });
        if (found != values.end() && shown.size() < kShownValues) {
            shown.push_back(&*found);
        }
    }
    // A device without any of them: its first values in catalogue order.
    if (shown.empty()) {
        for (size_t i = 0; i < values.size() && i < kShownValues; ++i) {
            shown.push_back(&values[i]);
        }
    }
    return shown;
}

std::string valueLines(const std::vector<check::Value>& values) {
    if (values.empty()) {
        return "Вычислитель не передал ни одного значения.";
    }
    std::string text = "Текущие значения:";
    const std::vector<const check::Value*> shown = shownValues(values);
    for (const check::Value* value : shown) {
        text += "\n    " + valueLine(*value);
    }
    if (shown.size() < values.size()) {
        text += format("\n(показано %u из %u значений)", static_cast<unsigned>(shown.size()),
                       static_cast<unsigned>(values.size()));
    }
    return text;
}

std::string russianUnit(std::string_view unit) {
    static constexpr std::pair<std::string_view, const char*> kUnits[] = {
        {"GJ", "ГДж"},
        {"Gcal", "Гкал"},
        {"m3", "куб.м"},
        {"thousand m3", "тыс.куб.м"},
        {"kPa", "кПа"},
        {"MPa", "МПа"},
        {"\xC2\xB0"
         "C",
         "°C"},
    };
    for (const auto& [english, russian] : kUnits) {
        if (unit == english) {
            return russian;
        }
    }
    return std::string(unit);
}

}  // namespace

std::string valueLine(const check::Value& value) {
    std::string line = value.name + " = " + decimal(value.value, "%.6g");
    const std::string unit = russianUnit(value.unit);
    return unit.empty() ? line : line + " " + unit;
}

CheckReport describeCheck(const DeviceRecord& entered, const check::DeviceCheck& result) {
    CheckReport report;
    const std::string enteredSerial = serialOf(entered.serial[2], entered.serial[3]);
    std::string identity;
    if (const auto& identification = result.identification) {
        identity = identityLines(entered, *identification);
        report.sameSerial = identification->serialHigh() == entered.serial[2] &&
                            identification->serialLow() == entered.serial[3];
    }
    std::string mismatch;
    if (result.identification && !report.sameSerial) {
        const std::string answered =
            serialOf(result.identification->serialHigh(), result.identification->serialLow());
        mismatch = "Серийный номер не совпадает: ответил вычислитель " + answered + ", а введен " +
                   enteredSerial +
                   ".\nЕсли подключен нужный вычислитель, "
                   "исправьте поле \"Серийный номер РКЕ\" на " +
                   answered + "; если нет, исправьте поля " + addressFields(entered) + ".";
    }

    if (result.answered()) {
        report.answered = true;
        report.headline =
            report.sameSerial ? "Связь с вычислителем установлена." : "Ответил другой вычислитель.";
        report.details = (mismatch.empty() ? "" : mismatch + "\n\n") + identity + "\n\n" +
                         valueLines(result.values) + "\n\nВремя обмена: " +
                         decimal(static_cast<double>(result.elapsedMs) / 1000.0, "%.2f") + " с";
        report.summary =
            report.sameSerial
                ? "в порядке: " + typeName(entered.deviceType) +
                      format(", каналов %u, узлов %u",
                             static_cast<unsigned>(result.identification->reportedChannels),
                             static_cast<unsigned>(result.identification->reportedNodes))
                : "ответил другой вычислитель: серийный номер " +
                      serialOf(result.identification->serialHigh(),
                               result.identification->serialLow()) +
                      " вместо " + enteredSerial;
        return report;
    }

    const check::Failure& failure = *result.failure;
    const Explained explained = explain(entered, failure);
    if (failure.reason == Reason::Cancelled) {
        report.headline = "Проверка прервана.";
    } else if (result.identification) {
        report.headline = "Вычислитель опознан, но значения не прочитаны.";
    } else {
        report.headline = "Нет связи с вычислителем.";
    }
    report.details = explained.reason;
    if (!explained.advice.empty()) {
        report.details += "\n" + explained.advice;
    }
    if (!mismatch.empty()) {
        report.details += "\n\n" + mismatch;
    }
    if (!identity.empty()) {
        report.details += "\n\n" + identity;
    }
    report.summary = explained.summary;
    if (failure.stage == Stage::Reading && failure.reason != Reason::Cancelled) {
        report.summary = "опознан, но значения не прочитаны: " + report.summary;
    }
    return report;
}

CheckAllRow checkAllRow(const DeviceRecord& device, const std::optional<CheckReport>& report,
                        bool checking) {
    const ListRow listed = ConfiguratorModel::listRowOf(device);
    CheckAllRow row;
    row[0] = listed[1];
    row[1] = listed[2];
    row[2] = listed[6];
    const std::string result = report     ? report->summary
                               : checking ? std::string("идет проверка...")
                                          : std::string("не проверен");
    row[3] = platform::utf8ToWide(result);
    return row;
}

std::string checkAllProgress(size_t index, size_t count, const DeviceRecord& device) {
    return format("Проверяется вычислитель %u из %u: %s (%s)...", static_cast<unsigned>(index + 1),
                  static_cast<unsigned>(count),
                  serialOf(device.serial[2], device.serial[3]).c_str(), portOf(device).c_str());
}

std::string checkAllOutcome(size_t answered, size_t checked, size_t count, bool cancelled) {
    if (cancelled) {
        return format("Проверка прервана: проверено %u из %u, ответили %u.",
                      static_cast<unsigned>(checked), static_cast<unsigned>(count),
                      static_cast<unsigned>(answered));
    }
    return format("Проверка завершена: ответили %u из %u.", static_cast<unsigned>(answered),
                  static_cast<unsigned>(count));
}

Message nothingToCheck() {
    return {"В конфигурации нет вычислителей для проверки!", kProgramName, MessageIcon::Warning,
            MessageButtons::Ok};
}

std::string checkRunningText(const DeviceRecord& device) {
    return "Идет проверка связи: " + portOf(device) + ", " + baudOf(device) + " бод" +
           (isRs485(device) ? format(", адрес %03d", device.rs485Address) : std::string()) + "...";
}

uint16_t riRs485CountWith(const ConfiguratorTable& table, uint32_t index,
                          const DeviceRecord& record) {
    std::vector<DeviceRecord> devices(
        table.records.begin(), table.records.begin() + std::min<size_t>(table.count, kMaxDevices));
    if (index < devices.size()) {
        devices[index] = record;
    } else {
        devices.push_back(record);
    }
    return movra::riRs485DeviceCount(devices);
}

CheckRunner::CheckRunner(Events events, platform::Clock& clock)
    : events_(std::move(events)), clock_(clock) {}

CheckRunner::~CheckRunner() {
    cancel();
    wait();
}

bool CheckRunner::start(std::vector<DeviceRecord> devices, uint16_t riRs485DeviceCount) {
    if (running_.load()) {
        return false;
    }
    wait();
    stop_.store(0);
    {
        std::lock_guard lock(resultsMutex_);
        results_.assign(devices.size(), std::nullopt);
    }
    running_.store(true);
    thread_ = std::thread(&CheckRunner::run, this, std::move(devices), riRs485DeviceCount);
    return true;
}

void CheckRunner::cancel() {
    if (running_.load()) {
        stop_.store(1);
    }
}

void CheckRunner::wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

size_t CheckRunner::count() const {
    std::lock_guard lock(resultsMutex_);
    return results_.size();
}

std::optional<check::DeviceCheck> CheckRunner::result(size_t index) const {
    std::lock_guard lock(resultsMutex_);
    return index < results_.size() ? results_[index] : std::nullopt;
}

void CheckRunner::run(std::vector<DeviceRecord> devices, uint16_t riRs485DeviceCount) {
    // Created on this thread, which takes and lets go of it: a mutex belongs to a thread.
    platform::UniqueHandle portMutex(CreateMutexA(nullptr, FALSE, check::kPortMutexName));
    check::CheckSettings settings;
    settings.riRs485DeviceCount = riRs485DeviceCount;
    settings.portMutex = portMutex.get();
    settings.stop = StopToken(stop_);
    for (size_t i = 0; i < devices.size() && stop_.load() == 0; ++i) {
        if (events_.started) {
            events_.started(i);
        }
        check::DeviceCheck result = check::checkDevice(devices[i], settings, nullptr, clock_);
        {
            std::lock_guard lock(resultsMutex_);
            results_[i] = std::move(result);
        }
        if (events_.finished) {
            events_.finished(i);
        }
    }
    running_.store(false);
    if (events_.done) {
        events_.done();
    }
}

}  // namespace movra::configurator
