// What the configurator says of a connection check, and that "Проверить связь" refuses what OK
// refuses: no line is needed, so both builds run them.
#include "configurator/connection_check.h"

#include "platform/codepage.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace movra::configurator {
namespace {

using check::DeviceCheck;
using check::Failure;
using check::Identification;
using check::Reason;
using check::Stage;
using check::Value;

// The device as entered: KMT-G 0A1B on COM5, RS-485 number 1 at 19200 baud, unless a row says
// otherwise.
DeviceRecord entered(uint8_t type = kTypeKmtG, uint8_t link = kLinkRs485) {
    DeviceRecord device;
    device.serial[2] = 0x0A;
    device.serial[3] = 0x1B;
    device.deviceType = type;
    device.linkType = link;
    device.baudCode = 4;
    device.comPort = 5;
    device.rs485Address = 1;
    return device;
}

Identification identified(uint8_t serialHigh, uint8_t serialLow) {
    Identification identification;
    identification.identity = {{0x00, 0x00, serialHigh, serialLow, 0, 1, 2, 0, 0}};
    identification.reportedChannels = 2;
    identification.maxChannels = 3;
    identification.reportedNodes = 1;
    identification.maxNodes = 3;
    return identification;
}

DeviceCheck answered(uint8_t serialHigh, uint8_t serialLow) {
    DeviceCheck result;
    result.identification = identified(serialHigh, serialLow);
    result.values = {{"SYS.Pa", 101.325f, "kPa"},
                     {"K01.T", 20.5f,
                      "\xC2\xB0"
                      "C"},
                     {"K01.Q", 1.25f, ""},
                     {"K01.N", 12.5f, "Gcal"},
                     {"U01.W", 1000.0f, "GJ"}};
    result.elapsedMs = 420;
    return result;
}

DeviceCheck failed(Stage stage, Reason reason, ExchangeRecord record = {},
                   uint32_t silenceSec = 4) {
    DeviceCheck result;
    if (stage == Stage::Reading) {
        result.identification = identified(0x0A, 0x1B);
    }
    result.failure = Failure{stage, reason, E_FAIL, 0, record, silenceSec};
    return result;
}

const char kIdentity[] =
    "Серийный номер: 0A1B\nТип вычислителя: КМТ-Г\nВерсия: 0.1.2\nКаналов: 2 из 3\nУзлов: 1 из 3";

TEST(CheckReport, AHealthyDeviceShowsItsIdentityAndAFewValuesInTheConfiguredUnits) {
    const CheckReport report = describeCheck(entered(), answered(0x0A, 0x1B));
    EXPECT_TRUE(report.answered);
    EXPECT_TRUE(report.sameSerial);
    EXPECT_EQ(report.headline, "Связь с вычислителем установлена.");
    EXPECT_EQ(report.details, std::string(kIdentity) +
                                  "\n\nТекущие значения:\n    SYS.Pa = 101,325 кПа\n"
                                  "    K01.T = 20,5 °C\n    K01.N = 12,5 Гкал\n"
                                  "    U01.W = 1000 ГДж\n(показано 4 из 5 значений)\n\n"
                                  "Время обмена: 0,42 с");
    EXPECT_EQ(report.summary, "в порядке: КМТ-Г, каналов 2, узлов 1");
}

struct MismatchRow {
    uint8_t link;
    const char* fields;  // the fields named besides the serial
};

TEST(CheckReport, AnotherSerialIsNamedWithTheFieldsToCorrect) {
    const MismatchRow rows[] = {
        {kLinkRs485, "\"COM-порт для связи с вычислителем\" и \"Номер вычислителя в сети RS-485\""},
        {kLinkRs232, "\"COM-порт для связи с вычислителем\""},
    };
    for (const MismatchRow& row : rows) {
        const CheckReport report =
            describeCheck(entered(kTypeKmtG, row.link), answered(0x0A, 0x1C));
        EXPECT_TRUE(report.answered);
        EXPECT_FALSE(report.sameSerial);
        EXPECT_EQ(report.headline, "Ответил другой вычислитель.");
        EXPECT_EQ(report.details.substr(0, report.details.find("\n\n")),
                  "Серийный номер не совпадает: ответил вычислитель 0A1C, а введен 0A1B.\n"
                  "Если подключен нужный вычислитель, исправьте поле \"Серийный номер РКЕ\" на "
                  "0A1C; если нет, исправьте поля " +
                      std::string(row.fields) + ".");
        EXPECT_NE(report.details.find("Серийный номер: 0A1C\n"), std::string::npos);
        EXPECT_EQ(report.summary, "ответил другой вычислитель: серийный номер 0A1C вместо 0A1B");
    }
}

struct FailureRow {
    DeviceCheck result;
    uint8_t link;
    const char* headline;
    const char* reason;  // the first line of the details
    const char* summary;
    const char* advice = nullptr;  // the second line, where a row names the fields to look at
};

TEST(CheckReport, EachFailureIsSaidInAnOperatorsWords) {
    const FailureRow rows[] = {
        {failed(Stage::Opening, Reason::PortUnavailable), kLinkRs485, "Нет связи с вычислителем.",
         "Порт COM5 не найден или занят другой программой.", "COM5 не найден или занят",
         "Проверьте поле \"COM-порт для связи с вычислителем\" и закройте программы, которые "
         "используют COM5."},
        {failed(Stage::Identifying, Reason::NoAnswer, {ERR_NO_ANSWER, 0x50, 0, 0, 0}), kLinkRs485,
         "Нет связи с вычислителем.",
         "Нет ответа по адресу 001 на скорости 19200 бод: вычислитель молчал 4 с после запроса "
         "0x50.",
         "нет ответа по адресу 001 на скорости 19200 бод",
         "Проверьте поля \"Номер вычислителя в сети RS-485\", \"Скорость обмена данными\" и \"Тип "
         "вычислителя\", подключение линии к COM5 и питание вычислителя."},
        {failed(Stage::Identifying, Reason::NoAnswer, {ERR_NO_ANSWER, 0x50, 0, 0, 0}, 8),
         kLinkRs232, "Нет связи с вычислителем.",
         "Нет ответа на скорости 19200 бод: вычислитель молчал 8 с после запроса 0x50.",
         "нет ответа на скорости 19200 бод"},
        {failed(Stage::Reading, Reason::Crc, {ERR_CRC, 0x51, 0x51, 0, 0}), kLinkRs485,
         "Вычислитель опознан, но значения не прочитаны.", "Ошибка CRC в ответе на запрос 0x51.",
         "опознан, но значения не прочитаны: ошибка CRC в ответе"},
        {failed(Stage::Reading, Reason::DeviceError, {ERR_DEVICE, 0x51, 0xD1, 5, 0}), kLinkRs485,
         "Вычислитель опознан, но значения не прочитаны.",
         "Вычислитель ответил сообщением об ошибке на запрос 0x51: код ошибки 5.",
         "опознан, но значения не прочитаны: ответ с ошибкой, код 5"},
        {failed(Stage::Identifying, Reason::ForeignReply, {ERR_NO_ANSWER, 0x50, 0x51, 0, 2}),
         kLinkRs485, "Нет связи с вычислителем.",
         "Ответил вычислитель другой модели: на запрос 0x50 пришел ответ с функцией 0x51.",
         "ответ другой модели: исправьте тип вычислителя", "Исправьте поле \"Тип вычислителя\"."},
        {failed(Stage::Reading, Reason::ShorterThanModel, {ERR_NONE, 0x51, 0x51, 0, 0}), kLinkRs485,
         "Вычислитель опознан, но значения не прочитаны.",
         "Искаженный ответ на запрос 0x51: он короче, чем у КМТ-Г.",
         "опознан, но значения не прочитаны: искаженный ответ: короче, чем у КМТ-Г"},
        {failed(Stage::Identifying, Reason::CutShort, {ERR_INCOMPLETE, 0x50, 0x50, 0, 0}),
         kLinkRs485, "Нет связи с вычислителем.",
         "Искаженный ответ на запрос 0x50: кадр оборвался.", "искаженный ответ: кадр оборвался"},
        {failed(Stage::Identifying, Reason::PortReopen), kLinkRs485, "Нет связи с вычислителем.",
         "Порт COM5 не удалось открыть повторно после неудачной попытки.",
         "COM5 не открылся повторно"},
        {failed(Stage::Identifying, Reason::Cancelled), kLinkRs485, "Проверка прервана.",
         "Проверка прервана.", "проверка прервана"},
        {failed(Stage::Reading, Reason::Cancelled), kLinkRs485, "Проверка прервана.",
         "Проверка прервана.", "проверка прервана"},
        {failed(Stage::Identifying, Reason::Other), kLinkRs485, "Нет связи с вычислителем.",
         "Ошибка обмена 0x80004005 (код ошибки связи 0).", "ошибка обмена 0x80004005"},
    };
    for (const FailureRow& row : rows) {
        const CheckReport report = describeCheck(entered(kTypeKmtG, row.link), row.result);
        SCOPED_TRACE(row.reason);
        EXPECT_FALSE(report.answered);
        EXPECT_EQ(report.headline, row.headline);
        EXPECT_EQ(report.details.substr(0, report.details.find('\n')), row.reason);
        EXPECT_EQ(report.summary, row.summary);
        if (row.advice != nullptr) {
            const size_t second = report.details.find('\n') + 1;
            EXPECT_EQ(report.details.substr(second, report.details.find('\n', second) - second),
                      row.advice);
        }
        // An identified device shows who answered, also when its values were not read.
        EXPECT_EQ(report.details.find(kIdentity) != std::string::npos,
                  row.result.identification.has_value())
            << report.details;
        // Every text the configurator shows fits its code page.
        for (const std::string* text : {&report.headline, &report.details, &report.summary}) {
            EXPECT_EQ(platform::cp1251ToUtf8(platform::utf8ToCp1251(*text)), *text);
        }
    }
}

TEST(CheckReport, ValuesAreShownInRussianUnitsWithADecimalComma) {
    const struct {
        Value value;
        const char* line;
    } rows[] = {
        {{"K02.Vs", 12.5f, "thousand m3"}, "K02.Vs = 12,5 тыс.куб.м"},
        {{"K01.V", 0.001f, "m3"}, "K01.V = 0,001 куб.м"},
        {{"K01.P", 0.6f, "MPa"}, "K01.P = 0,6 МПа"},
        {{"U01.N", 1234567.0f, "Gcal"}, "U01.N = 1,23457e+06 Гкал"},
        {{"K01.G", -3.0f, ""}, "K01.G = -3"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(valueLine(row.value), row.line);
    }
}

TEST(CheckReport, ADeviceWithoutTheUsualValuesShowsItsFirstOnes) {
    DeviceCheck result = answered(0x0A, 0x1B);
    result.values.clear();
    for (int u = 2; u <= 11; ++u) {
        char name[16];
        std::snprintf(name, sizeof name, "U%02d.Gy", u);
        result.values.push_back({name, static_cast<float>(u), ""});
    }
    const std::string details = describeCheck(entered(), result).details;
    EXPECT_NE(details.find("    U02.Gy = 2\n"), std::string::npos) << details;
    EXPECT_NE(details.find("    U09.Gy = 9\n(показано 8 из 10 значений)"), std::string::npos)
        << details;
    EXPECT_EQ(details.find("U10.Gy"), std::string::npos) << details;
}

TEST(CheckAll, RowsProgressAndOutcome) {
    DeviceRecord device = entered();
    device.description = platform::utf8ToCp1251("Котельная №2");
    CheckReport report;
    report.summary = "в порядке: КМТ-Г, каналов 2, узлов 1";
    const auto text = [](const CheckAllRow& row) {
        std::vector<std::string> cells;
        for (const auto& cell : row) {
            cells.push_back(platform::wideToUtf8(cell));
        }
        return cells;
    };
    EXPECT_EQ(text(checkAllRow(device, std::nullopt)),
              (std::vector<std::string>{"0A1B", "Котельная №2", "COM 5", "не проверен"}));
    EXPECT_EQ(text(checkAllRow(device, std::nullopt, true))[3], "идет проверка...");
    EXPECT_EQ(text(checkAllRow(device, report))[3], report.summary);
    EXPECT_EQ(checkAllProgress(1, 3, device), "Проверяется вычислитель 2 из 3: 0A1B (COM5)...");
    EXPECT_EQ(checkAllOutcome(1, 2, 2, false), "Проверка завершена: ответили 1 из 2.");
    EXPECT_EQ(checkAllOutcome(1, 1, 3, true), "Проверка прервана: проверено 1 из 3, ответили 1.");
    EXPECT_EQ(nothingToCheck().title, kProgramName);
    EXPECT_EQ(checkRunningText(device), "Идет проверка связи: COM5, 19200 бод, адрес 001...");
}

TEST(CheckAll, TheRiAdapterDevicesOnRs485CountAsTheServerCountsThem) {
    ConfiguratorTable table;
    table.count = 3;
    for (uint32_t i = 0; i < 3; ++i) {
        table.records[i] = entered();
        table.records[i].viaRiAdapter = i < 2 ? 1 : 0;
    }
    table.records[1].linkType = kLinkRs232;  // the adapter counts only on RS-485
    DeviceRecord ri = entered();
    ri.viaRiAdapter = 1;
    EXPECT_EQ(riRs485CountWith(table, 3, ri), 2);         // added
    EXPECT_EQ(riRs485CountWith(table, 2, ri), 2);         // in place of the third
    EXPECT_EQ(riRs485CountWith(table, 0, entered()), 0);  // the first edited off the adapter
}

// A form and the model that has it; "Проверить связь" and OK see the same model.
class CheckFormTest : public ::testing::Test {
protected:
    CheckFormTest() : model(folder.file("MovraOPCServer.ini")) {
        DeviceForm first = filled(U16("12AB"));
        EXPECT_EQ(model.addDevice(first), std::nullopt);
    }

    static DeviceForm filled(const WCHAR* serial) {
        DeviceForm form = ConfiguratorModel::newDeviceForm();
        form.serial = serial;
        form.deviceType = 2;
        form.link = 1;
        form.baud = 3;
        form.comPort = 4;
        form.rs485Address = 6;
        return form;
    }

    test::TempDir folder;
    ConfiguratorModel model;
};

TEST_F(CheckFormTest, AnEntryThatOkRefusesIsRefusedTheSameWayAndNothingIsStored) {
    std::vector<DeviceForm> refused(6, filled(U16("0A1B")));
    refused[0].serial = U16("NNNN");
    refused[1].serial = U16("12G4");
    refused[2].serial = U16("12ab");  // the device already in the table
    refused[3].deviceType = -1;
    refused[4].rs485Address = -1;
    refused[5].startDelay = U16("10001");
    for (const DeviceForm& form : refused) {
        DeviceRecord record;
        record.comPort = 99;
        const auto refusal = model.recordForCheck(std::nullopt, form, record);
        ASSERT_TRUE(refusal.has_value());
        EXPECT_EQ(record.comPort, 99) << "a refused entry gives no record to check";
        ConfiguratorModel ok(folder.file("other.ini"));
        ASSERT_EQ(ok.addDevice(filled(U16("12AB"))), std::nullopt);
        EXPECT_EQ(refusal, ok.addDevice(form)) << refusal->text;
        EXPECT_EQ(model.count(), 1u);
    }
    DeviceRecord record;
    EXPECT_TRUE(model.recordForCheck(1, filled(U16("0A1B")), record).has_value())
        << "no entry 1 to edit";
}

TEST_F(CheckFormTest, TheRecordCheckedIsTheOneOkWouldStore) {
    DeviceRecord record;
    ASSERT_EQ(model.recordForCheck(std::nullopt, filled(U16("0a1b")), record), std::nullopt);
    EXPECT_EQ(model.count(), 1u);
    EXPECT_EQ(record.serial[2], 0x0A);
    EXPECT_EQ(record.serial[3], 0x1B);
    EXPECT_EQ(record.deviceType, kTypeKmtG);
    EXPECT_EQ(record.linkType, kLinkRs485);
    EXPECT_EQ(record.baudCode, 4);
    EXPECT_EQ(record.comPort, 5);
    EXPECT_EQ(record.rs485Address, 7);
    // Editing the first device: its own serial is no duplicate, and what the dialog does not show
    // is the record's.
    std::vector<uint8_t> bytes;
    ConfiguratorTable table = model.table();
    table.records[0].reserved3[0] = 0x5A;
    ASSERT_TRUE(encodeConfiguratorFile(table, bytes));
    test::WriteFileBytes(folder.file("MovraOPCServer.ini"),
                         std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(model.load(), std::nullopt);
    ASSERT_EQ(model.recordForCheck(0, model.editForm(0), record), std::nullopt);
    EXPECT_EQ(record.reserved3[0], 0x5A);
    ASSERT_EQ(model.editDevice(0, model.editForm(0)), std::nullopt);
    EXPECT_EQ(model.table().records[0], record);
}

}  // namespace
}  // namespace movra::configurator
