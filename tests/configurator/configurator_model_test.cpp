#include "configurator/configurator_model.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

using movra::ConfiguratorTable;
using movra::DeviceRecord;
using movra::configurator::ConfiguratorModel;
using movra::configurator::DeviceForm;
using movra::configurator::Message;
using movra::configurator::MessageButtons;
using movra::configurator::MessageIcon;
using movra::configurator::SaveResult;
using movra::test::ReadFileBytes;
using movra::test::TempDir;
using movra::test::WriteFileBytes;
using platform::WString;

namespace cfg = movra::configurator;

WString w(const char* utf8) {
    return platform::utf8ToWide(utf8);
}

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

const std::string kVersion108("\x71\x3D\x8A\x3F", 4);
const std::string kVersion101("\xD7\xA3\x81\x3F", 4);  // 1.01f

std::string header(const std::string& version, uint32_t count, uint32_t period) {
    return version + le32(count) + le32(period);
}

struct RecordFields {
    std::string description;  // code page 1251 bytes
    uint8_t serialHigh = 0x12, serialLow = 0xAB;
    uint8_t type = 1, link = 1, baud = 3, com = 1, address = 0;
    uint8_t energy = 0, gas = 0, timestamp = 0, ri = 0;
    char reservedFill = 0;
    uint16_t delay = 0;
};

std::string recordBytes(const RecordFields& f, bool withDelay = true) {
    std::string bytes = le32(static_cast<uint32_t>(f.description.size())) + f.description;
    bytes +=
        std::string{'\0', '\0', static_cast<char>(f.serialHigh), static_cast<char>(f.serialLow)};
    for (uint8_t field :
         {f.type, f.link, f.baud, f.com, f.address, f.energy, f.gas, f.timestamp, f.ri}) {
        bytes.push_back(static_cast<char>(field));
    }
    bytes += std::string(2 + 4 + 6 + 50, f.reservedFill);
    if (withDelay) {
        bytes.push_back(static_cast<char>(f.delay & 0xFF));
        bytes.push_back(static_cast<char>(f.delay >> 8));
    }
    return bytes;
}

// A form as an operator leaves it after choosing every list: KMT on RS-232, 9600, COM1.
DeviceForm filledForm(const char* serial, int type = 0) {
    DeviceForm form = ConfiguratorModel::newDeviceForm();
    form.serial = w(serial);
    form.deviceType = type;
    form.link = 0;
    form.baud = 2;
    form.comPort = 0;
    return form;
}

Message error(const char* text) {
    return {text, "Ошибка", MessageIcon::Error, MessageButtons::Ok};
}

class ModelTest : public ::testing::Test {
protected:
    std::string path() const { return dir.file("MovraOPCServer.ini"); }

    // A model loaded from a file holding one device of each given type (serials 0001, 0002...).
    ConfiguratorModel withTypes(std::initializer_list<uint8_t> types) {
        std::string bytes = header(kVersion108, static_cast<uint32_t>(types.size()), 60);
        uint8_t n = 0;
        for (uint8_t type : types) {
            RecordFields f;
            f.serialHigh = 0;
            f.serialLow = ++n;
            f.type = type;
            bytes += recordBytes(f);
        }
        WriteFileBytes(path(), bytes);
        ConfiguratorModel model(path());
        EXPECT_EQ(model.load(), std::nullopt);
        return model;
    }

    std::string savedPeriodBytes() const { return ReadFileBytes(path()).substr(8, 4); }

    TempDir dir;
};

// --- The poll-period rule ---

TEST(PeriodRule, StepAndMinimumFollowTheTypeCounts) {
    struct Case {
        std::vector<uint8_t> types;
        uint32_t step, minimum;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{2}, 4, 4},
        {{3, 6}, 4, 8},
        {{4}, 6, 6},
        {{5, 5, 5}, 6, 18},
        {{5, 2}, 12, 12},           // 6 + 4 = 10, raised to 12
        {{1, 4}, 24, 24},           // 16 + 6 = 22, raised to 24
        {{1, 4, 2}, 24, 48},        // 26 -> 48
        {{1, 2}, 16, 32},           // 20 -> 32
        {{1, 1}, 8, 32},            // two KMT: no exception
        {{1}, 8, 8},                // the single-KMT exception
        {{1, 0, 7}, 8, 8},          // unknown codes count nowhere, the exception still holds
        {{0, 9}, 0, 0},             // nothing known: no rule
        {{1, 1, 1, 2, 4}, 24, 72},  // 48 + 4 + 6 = 58 -> 72
    };
    for (const Case& c : cases) {
        ConfiguratorTable table;
        for (uint8_t type : c.types) {
            table.records[table.count++].deviceType = type;
        }
        auto rule = cfg::periodRuleFor(table);
        EXPECT_EQ(rule.step, c.step) << ::testing::PrintToString(c.types);
        EXPECT_EQ(rule.minimum, c.minimum) << ::testing::PrintToString(c.types);
    }
}

TEST(PeriodRule, RoundsToTheNearestMultipleWithHalfRoundingUp) {
    EXPECT_EQ(cfg::roundToStep(10, 4), 12u);  // remainder 2 = S/2
    EXPECT_EQ(cfg::roundToStep(9, 4), 8u);
    EXPECT_EQ(cfg::roundToStep(12, 8), 16u);
    EXPECT_EQ(cfg::roundToStep(11, 8), 8u);
    EXPECT_EQ(cfg::roundToStep(30, 24), 24u);
    EXPECT_EQ(cfg::roundToStep(36, 24), 48u);
    EXPECT_EQ(cfg::roundToStep(15, 6), 18u);
    EXPECT_EQ(cfg::roundToStep(14, 6), 12u);
    for (uint32_t step : {4u, 6u, 8u, 12u, 16u, 24u}) {
        EXPECT_EQ(cfg::roundToStep(3600, step), 3600u) << step;
        EXPECT_LE(cfg::roundToStep(3599, step), 3600u) << step;
    }
}

TEST(Parsing, DecimalTextsSaturateAndRejectOtherCharacters) {
    EXPECT_EQ(cfg::parseDecimal(U16("")), 0u);
    EXPECT_EQ(cfg::parseDecimal(U16("0042")), 42u);
    EXPECT_EQ(cfg::parseDecimal(U16("99999999999999999999")), 0xFFFFFFFFu);
    EXPECT_EQ(cfg::parseDecimal(U16("-1")), std::nullopt);
    EXPECT_EQ(cfg::parseDecimal(U16("12 ")), std::nullopt);
    EXPECT_EQ(cfg::parseDecimal(w("１２")), std::nullopt);  // full-width digits are no digits here
}

TEST_F(ModelTest, OneKmtVCorrectsTenToTwelveAndNineToEight) {
    auto model = withTypes({2});
    SaveResult result = model.save(U16("10"));
    ASSERT_TRUE(result.saved);
    ASSERT_EQ(result.messages.size(), 2u);
    EXPECT_EQ(result.messages[0],
              (Message{"Период опроса был скорректирован до 12 сек!", "MovraOPCConfigurator",
                       MessageIcon::Information, MessageButtons::Ok}));
    EXPECT_EQ(result.messages[1].text, "Конфигурация была успешно сохранена!");
    EXPECT_EQ(result.messages[1].title, "MovraOPCConfigurator");
    EXPECT_EQ(result.periodText, WString(U16("12")));
    EXPECT_EQ(savedPeriodBytes(), le32(12));
    EXPECT_EQ(model.table().periodSec, 12u);

    EXPECT_TRUE(model.save(U16("9")).saved);
    EXPECT_EQ(savedPeriodBytes(), le32(8));
}

TEST_F(ModelTest, SingleKmtAcceptsEightAndRoundsTwelveUpToSixteen) {
    auto model = withTypes({1});
    SaveResult eight = model.save(U16("8"));
    EXPECT_TRUE(eight.saved);
    ASSERT_EQ(eight.messages.size(), 1u);  // no correction
    EXPECT_EQ(savedPeriodBytes(), le32(8));

    SaveResult twelve = model.save(U16("12"));
    ASSERT_EQ(twelve.messages.size(), 2u);
    EXPECT_EQ(twelve.messages[0].text, "Период опроса был скорректирован до 16 сек!");
    EXPECT_EQ(savedPeriodBytes(), le32(16));
}

TEST_F(ModelTest, TwoKmtRefuseThirtyNamingThirtyTwoAndLeaveTheFileAlone) {
    auto model = withTypes({1, 1});
    const std::string before = ReadFileBytes(path());
    SaveResult result = model.save(U16("30"));
    EXPECT_FALSE(result.saved);
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0],
              error("Для заданной конфигурации период опроса должен быть не менее 32 сек!"));
    EXPECT_EQ(result.periodText, std::nullopt);
    EXPECT_EQ(ReadFileBytes(path()), before);
}

TEST_F(ModelTest, KmtWithKmtUCorrectsThirtyAndThirtySix) {
    auto model = withTypes({1, 4});
    EXPECT_EQ(model.save(U16("30")).periodText, WString(U16("24")));
    EXPECT_EQ(savedPeriodBytes(), le32(24));
    EXPECT_EQ(model.save(U16("36")).periodText, WString(U16("48")));
    EXPECT_EQ(savedPeriodBytes(), le32(48));
    SaveResult top = model.save(U16("3600"));
    EXPECT_TRUE(top.saved);
    EXPECT_EQ(top.messages.size(), 1u);
    EXPECT_EQ(savedPeriodBytes(), le32(3600));
}

TEST_F(ModelTest, PeriodOutsideOneToThirtySixHundredIsRefused) {
    auto model = withTypes({2});
    const std::string before = ReadFileBytes(path());
    EXPECT_EQ(model.save(U16("0")).messages,
              std::vector{error("Период опроса должен быть больше нуля!")});
    EXPECT_EQ(model.save(U16("")).messages,
              std::vector{error("Период опроса должен быть больше нуля!")});
    EXPECT_EQ(model.save(U16("3601")).messages,
              std::vector{error("Период опроса не должен превышать 3600 сек!")});
    EXPECT_EQ(model.save(U16("4294967296")).messages,
              std::vector{error("Период опроса не должен превышать 3600 сек!")});
    EXPECT_EQ(model.save(U16("1x")).messages,
              std::vector{error("Период опроса должен быть задан целым числом секунд!")});
    EXPECT_EQ(ReadFileBytes(path()), before);
    EXPECT_EQ(model.table().periodSec, 60u);
}

TEST_F(ModelTest, EmptyListSavesTwelveBytesWithPeriodZeroWhateverTheEditShows) {
    ConfiguratorModel model(path());  // no file yet: empty list
    EXPECT_EQ(model.load(), std::nullopt);
    EXPECT_EQ(model.periodText(), WString(U16("0")));
    SaveResult result = model.save(U16("abc"));
    EXPECT_TRUE(result.saved);
    EXPECT_EQ(ReadFileBytes(path()), header(kVersion108, 0, 0));
}

TEST_F(ModelTest, UnwritableFileKeepsEveryEditInMemory) {
    ConfiguratorModel model(dir.file("missing-folder/MovraOPCServer.ini"));
    model.load();
    ASSERT_EQ(model.addDevice(filledForm("12AB")), std::nullopt);
    SaveResult result = model.save(U16("8"));
    EXPECT_FALSE(result.saved);
    EXPECT_EQ(result.messages, std::vector{error("Ошибка при сохранении файла конфигурации!")});
    EXPECT_EQ(model.count(), 1u);
}

// --- The table ---

TEST_F(ModelTest, AFullTableOfAHundredIsSavedAndReadAndTheHundredAndFirstIsRefused) {
    ConfiguratorModel model(path());
    model.load();
    for (int i = 0; i < 100; ++i) {
        char serial[8];
        std::snprintf(serial, sizeof serial, "%04X", i);
        ASSERT_EQ(model.addDevice(filledForm(serial)), std::nullopt) << i;
    }
    ASSERT_TRUE(model.save(U16("1600")).saved);  // a hundred KMT: 16 s each
    movra::ServerConfiguration server;
    ASSERT_EQ(movra::ReadConfiguration(path(), server), 1);
    EXPECT_EQ(server.deviceCount(), 100u);
    const Message full{"Количество вычислителей в конфигурации не может превышать 100!",
                       "MovraOPCConfigurator", MessageIcon::Warning, MessageButtons::Ok};
    EXPECT_EQ(model.checkCanAdd(), full);
    EXPECT_EQ(model.addDevice(filledForm("FFFF")), full);
    EXPECT_EQ(model.count(), 100u);
}

TEST_F(ModelTest, DeletingTheFirstOfThreeMovesTheOthersUp) {
    ConfiguratorModel model(path());
    model.load();
    for (const char* serial : {"000A", "000B", "000C"}) {
        ASSERT_EQ(model.addDevice(filledForm(serial)), std::nullopt);
    }
    EXPECT_EQ(model.checkDeleteSelection(0), std::nullopt);
    model.deleteDevice(0);
    auto rows = model.listRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], WString(U16("000B")));
    EXPECT_EQ(rows[1][1], WString(U16("000C")));
    EXPECT_EQ(model.table().records[2], DeviceRecord{});
}

TEST_F(ModelTest, EditAndDeleteNeedAFocusedRowInsideTheList) {
    auto model = withTypes({1, 2});
    const Message edit{"Укажите вычислитель для редактирования!", "MovraOPCConfigurator",
                       MessageIcon::Warning, MessageButtons::Ok};
    const Message remove{"Укажите вычислитель для удаления!", "MovraOPCConfigurator",
                         MessageIcon::Warning, MessageButtons::Ok};
    EXPECT_EQ(model.checkEditSelection(-1), edit);
    EXPECT_EQ(model.checkEditSelection(2), edit);
    EXPECT_EQ(model.checkEditSelection(1), std::nullopt);
    EXPECT_EQ(model.checkDeleteSelection(-1), remove);
    EXPECT_EQ(model.checkDeleteSelection(2), remove);
    EXPECT_EQ(ConfiguratorModel::deleteConfirmation(),
              (Message{"Вы уверены, что хотите удалить данный вычислитель из конфигурации?",
                       "Подтверждение удаления вычислителя", MessageIcon::Question,
                       MessageButtons::YesNo}));
    EXPECT_EQ(ConfiguratorModel::leaveConfirmation(),
              (Message{"Выйти из программы без сохранения сделанных изменений?", "",
                       MessageIcon::Question, MessageButtons::YesNo}));
}

TEST(ListRows, CellsOfEveryColumn) {
    DeviceRecord record;
    record.description = "\xCA\xEE\xF2\xE5\xEB\xFC\xED\xE0\xFF";  // "Котельная" in 1251
    record.serial[2] = 0x00;
    record.serial[3] = 0xFF;
    record.deviceType = 5;
    record.linkType = 2;
    record.baudCode = 1;
    record.comPort = 12;
    record.rs485Address = 7;
    auto row = ConfiguratorModel::listRowOf(record);
    EXPECT_EQ(row[0], WString());
    EXPECT_EQ(row[1], WString(U16("00FF")));
    EXPECT_EQ(row[2], w("Котельная"));
    EXPECT_EQ(row[3], w("КМТ-УВ"));
    EXPECT_EQ(row[4], WString(U16("RS-485")));
    EXPECT_EQ(row[5], WString(U16(" 2400")));
    EXPECT_EQ(row[6], WString(U16("COM 12")));
    EXPECT_EQ(row[7], WString(U16("007")));

    record.linkType = 1;
    record.baudCode = 4;
    EXPECT_EQ(ConfiguratorModel::listRowOf(record)[5], WString(U16("19200")));
    EXPECT_EQ(ConfiguratorModel::listRowOf(record)[7], w("нет номера"));

    // Codes outside their tables leave their cells empty.
    record.deviceType = 6;
    record.linkType = 3;
    record.baudCode = 5;
    row = ConfiguratorModel::listRowOf(record);
    EXPECT_EQ(row[3], WString());
    EXPECT_EQ(row[4], WString());
    EXPECT_EQ(row[5], WString());
    EXPECT_EQ(row[7], w("нет номера"));
}

// --- The device dialog ---

TEST(DeviceForm, NewDeviceDefaults) {
    DeviceForm form = ConfiguratorModel::newDeviceForm();
    EXPECT_EQ(form.description, w("Неизвестный объект"));
    EXPECT_EQ(form.serial, WString(U16("NNNN")));
    EXPECT_EQ(form.startDelay, WString(U16("0")));
    EXPECT_EQ(form.deviceType, -1);
    EXPECT_EQ(form.link, -1);
    EXPECT_EQ(form.baud, -1);
    EXPECT_EQ(form.comPort, -1);
    EXPECT_EQ(form.rs485Address, -1);
    EXPECT_FALSE(form.rs485Enabled());
    EXPECT_FALSE(form.gcal);
    EXPECT_FALSE(form.thousandCubicMetres);
    EXPECT_EQ(form.timestamp, 0);
    EXPECT_FALSE(form.riAdapter);
    EXPECT_EQ(cfg::comPortItem(0), WString(U16("COM1")));
    EXPECT_EQ(cfg::comPortItem(254), WString(U16("COM255")));
    EXPECT_EQ(cfg::rs485AddressItem(0), WString(U16("001")));
    EXPECT_EQ(cfg::rs485AddressItem(249), WString(U16("250")));
}

TEST_F(ModelTest, SerialTextsAreCheckedInTheirOrder) {
    ConfiguratorModel model(path());
    model.load();
    const Message missing = error("Не введен серийный номер вычислителя!");
    const Message bad = error("Введен некорректный серийный номер вычислителя!");
    EXPECT_EQ(model.addDevice(ConfiguratorModel::newDeviceForm()), missing);  // "NNNN"
    EXPECT_EQ(model.addDevice(filledForm("G123")), missing);
    EXPECT_EQ(model.addDevice(filledForm("")), missing);
    EXPECT_EQ(model.addDevice(filledForm("12G4")), bad);
    EXPECT_EQ(model.addDevice(filledForm("12A")), bad);
    EXPECT_EQ(model.addDevice(filledForm("12ABC")), bad);
    EXPECT_EQ(model.count(), 0u);

    ASSERT_EQ(model.addDevice(filledForm("12ab")), std::nullopt);  // the edit makes it upper case
    const DeviceRecord& record = model.table().records[0];
    EXPECT_EQ(std::vector<uint8_t>(record.serial, record.serial + 4),
              (std::vector<uint8_t>{0x00, 0x00, 0x12, 0xAB}));
    EXPECT_EQ(cfg::serialText(record), WString(U16("12AB")));
}

TEST_F(ModelTest, FirstFailingCheckWinsInTheOrderOfTheDialog) {
    ConfiguratorModel model(path());
    model.load();
    DeviceForm form = ConfiguratorModel::newDeviceForm();
    form.serial = U16("0001");
    form.startDelay = U16("99999");  // also wrong, but checked last
    EXPECT_EQ(model.addDevice(form), error("Не указан тип вычислителя!"));
    form.deviceType = 4;
    EXPECT_EQ(model.addDevice(form), error("Не указан тип связи!"));
    form.link = 1;
    EXPECT_EQ(model.addDevice(form), error("Не указана скорость обмена данными!"));
    form.baud = 3;
    EXPECT_EQ(model.addDevice(form), error("Не указан COM-порт для связи с вычислителем!"));
    form.comPort = 255;  // one past COM255
    EXPECT_EQ(model.addDevice(form), error("Не указан COM-порт для связи с вычислителем!"));
    form.comPort = 254;
    EXPECT_EQ(model.addDevice(form), error("Не указан номер вычислителя в сети RS-485!"));
    form.rs485Address = 249;
    EXPECT_EQ(model.addDevice(form),
              error("Задержка перед началом опроса вычислителя не должна превышать 10000 мс!"));
    form.startDelay = U16("");  // empty is 0
    ASSERT_EQ(model.addDevice(form), std::nullopt);
    const DeviceRecord& r = model.table().records[0];
    EXPECT_EQ(r.deviceType, 5);
    EXPECT_EQ(r.linkType, 2);
    EXPECT_EQ(r.baudCode, 4);
    EXPECT_EQ(r.comPort, 255);
    EXPECT_EQ(r.rs485Address, 250);
    EXPECT_EQ(r.startDelayMs, 0);
}

TEST_F(ModelTest, DuplicateSerialIsRefusedButAnUnchangedEditIsNot) {
    ConfiguratorModel model(path());
    model.load();
    ASSERT_EQ(model.addDevice(filledForm("12AB")), std::nullopt);
    ASSERT_EQ(model.addDevice(filledForm("0001")), std::nullopt);
    const Message duplicate =
        error("Вычислитель с таким серийным номером уже задан в текущей конфигурации!");
    EXPECT_EQ(model.addDevice(filledForm("12ab")), duplicate);
    EXPECT_EQ(model.editDevice(0, model.editForm(0)), std::nullopt);

    DeviceForm second = model.editForm(1);
    second.serial = U16("12AB");
    EXPECT_EQ(model.editDevice(1, second), duplicate);
    EXPECT_EQ(cfg::serialText(model.table().records[1]), WString(U16("0001")));
}

TEST_F(ModelTest, StartDelayLimitCountsTheWholeNumber) {
    ConfiguratorModel model(path());
    model.load();
    DeviceForm form = filledForm("0001");
    form.startDelay = U16("10000");
    ASSERT_EQ(model.addDevice(form), std::nullopt);
    EXPECT_EQ(model.table().records[0].startDelayMs, 10000);

    const Message tooLong =
        error("Задержка перед началом опроса вычислителя не должна превышать 10000 мс!");
    form.serial = U16("0002");
    for (const char16_t* delay : {u"10001", u"70000", u"65536", u"4294967297"}) {
        form.startDelay = WString(delay, delay + std::char_traits<char16_t>::length(delay));
        EXPECT_EQ(model.addDevice(form), tooLong);
    }
    form.startDelay = U16("1e3");
    EXPECT_EQ(model.addDevice(form),
              error("Задержка перед началом опроса вычислителя должна быть задана целым числом "
                    "миллисекунд!"));
    EXPECT_EQ(model.count(), 1u);
}

TEST_F(ModelTest, Rs485ToRs232KeepsTheFormerNumber) {
    ConfiguratorModel model(path());
    model.load();
    DeviceForm form = filledForm("0001");
    form.link = 1;
    form.rs485Address = 41;
    ASSERT_EQ(model.addDevice(form), std::nullopt);
    EXPECT_EQ(model.listRows()[0][7], WString(U16("042")));

    form = model.editForm(0);
    EXPECT_TRUE(form.rs485Enabled());
    EXPECT_EQ(form.rs485Address, 41);
    form.link = 0;
    form.rs485Address = -1;  // a disabled list reads as no selection
    ASSERT_EQ(model.editDevice(0, form), std::nullopt);
    EXPECT_EQ(model.table().records[0].linkType, 1);
    EXPECT_EQ(model.table().records[0].rs485Address, 42);
    EXPECT_EQ(model.listRows()[0][7], w("нет номера"));
    EXPECT_EQ(model.editForm(0).rs485Address, -1);  // shown only for RS-485
}

TEST_F(ModelTest, EditShowsTheRecordAndPassesHiddenFieldsThrough) {
    RecordFields f;
    f.description = "Obj";
    f.type = 3;
    f.link = 2;
    f.baud = 2;
    f.com = 4;
    f.address = 17;
    f.energy = 1;
    f.gas = 1;
    f.timestamp = 9;  // no radio: stays as it is
    f.ri = 1;
    f.reservedFill = 0x5A;
    f.delay = 1234;
    WriteFileBytes(path(), header(kVersion108, 1, 60) + recordBytes(f));
    ConfiguratorModel model(path());
    ASSERT_EQ(model.load(), std::nullopt);

    DeviceForm form = model.editForm(0);
    EXPECT_EQ(form.description, WString(U16("Obj")));
    EXPECT_EQ(form.serial, WString(U16("12AB")));
    EXPECT_EQ(form.deviceType, 2);
    EXPECT_EQ(form.link, 1);
    EXPECT_EQ(form.baud, 1);
    EXPECT_EQ(form.comPort, 3);
    EXPECT_EQ(form.rs485Address, 16);
    EXPECT_EQ(form.startDelay, WString(U16("1234")));
    EXPECT_TRUE(form.gcal);
    EXPECT_TRUE(form.thousandCubicMetres);
    EXPECT_EQ(form.timestamp, -1);
    EXPECT_TRUE(form.riAdapter);

    ASSERT_EQ(model.editDevice(0, form), std::nullopt);
    ASSERT_TRUE(model.save(U16("60")).saved);  // one KMT-G: step 4
    EXPECT_EQ(ReadFileBytes(path()), header(kVersion108, 1, 60) + recordBytes(f));
}

TEST_F(ModelTest, NewDeviceIsWrittenFieldByField) {
    ConfiguratorModel model(path());
    model.load();
    DeviceForm form = filledForm("BEEF", 3);
    form.description = w("Котельная №1 ✓");  // the tick has no place in code page 1251
    form.link = 1;
    form.baud = 0;
    form.comPort = 7;
    form.rs485Address = 2;
    form.startDelay = U16("500");
    form.gcal = true;
    form.timestamp = 2;
    form.riAdapter = true;
    ASSERT_EQ(model.addDevice(form), std::nullopt);
    EXPECT_EQ(model.editForm(0).timestamp, 2);
    ASSERT_TRUE(model.save(U16("6")).saved);  // one KMT-U: minimum and step 6

    RecordFields f;
    f.description = "\xCA\xEE\xF2\xE5\xEB\xFC\xED\xE0\xFF \xB9\x31 ?";
    f.serialHigh = 0xBE;
    f.serialLow = 0xEF;
    f.type = 4;
    f.link = 2;
    f.baud = 1;
    f.com = 8;
    f.address = 3;
    f.energy = 1;
    f.timestamp = 2;
    f.ri = 1;
    f.delay = 500;
    EXPECT_EQ(ReadFileBytes(path()), header(kVersion108, 1, 6) + recordBytes(f));
}

TEST_F(ModelTest, WhatTheConfiguratorSavesIsWhatTheServerReads) {
    ConfiguratorModel model(path());
    model.load();
    DeviceForm first = filledForm("00FF", 1);  // KMT-V on RS-485 through the RI adapter
    first.link = 1;
    first.rs485Address = 9;
    first.riAdapter = true;
    first.startDelay = U16("10000");
    ASSERT_EQ(model.addDevice(first), std::nullopt);
    DeviceForm second = filledForm("0100", 4);  // KMT-UV on RS-232, also through the adapter
    second.riAdapter = true;
    ASSERT_EQ(model.addDevice(second), std::nullopt);
    ASSERT_TRUE(model.save(U16("3600")).saved);

    movra::ServerConfiguration server;
    ASSERT_EQ(movra::ReadConfiguration(path(), server), 1);
    ASSERT_EQ(server.deviceCount(), 2u);
    EXPECT_EQ(server.pollPeriodMs, 3600000u);
    EXPECT_EQ(server.riRs485DeviceCount, 1);
    EXPECT_EQ(server.devices[0], model.table().records[0]);
    EXPECT_EQ(server.devices[1], model.table().records[1]);
    EXPECT_EQ(server.devices[0].startDelayMs, 10000);
    EXPECT_EQ(server.channelCounts, (std::vector<uint16_t>{5, 10}));
}

// --- The file at start ---

TEST_F(ModelTest, FileOlderThan102IsReadWithZeroDelayAndWrittenBackAs108) {
    RecordFields first, second;
    first.description = "A";
    first.delay = 0;
    second.serialLow = 0xAC;
    second.type = 2;
    second.reservedFill = 0x11;
    WriteFileBytes(path(), header(kVersion101, 2, 32) + recordBytes(first, false) +
                               recordBytes(second, false));
    ConfiguratorModel model(path());
    ASSERT_EQ(model.load(), std::nullopt);
    ASSERT_EQ(model.count(), 2u);
    EXPECT_EQ(model.table().records[1].startDelayMs, 0);
    EXPECT_EQ(model.periodText(), WString(U16("32")));

    ASSERT_TRUE(model.save(model.periodText()).saved);  // KMT + KMT-V: step 16, minimum 32
    EXPECT_EQ(ReadFileBytes(path()),
              header(kVersion108, 2, 32) + recordBytes(first) + recordBytes(second));
}

TEST_F(ModelTest, TruncatedFileKeepsWholeRecordsAndSaysSo) {
    RecordFields f;
    std::string bytes = header(kVersion108, 3, 60) + recordBytes(f);
    f.serialLow = 0xAC;
    bytes += recordBytes(f);
    f.serialLow = 0xAD;
    bytes += recordBytes(f).substr(0, 30);
    WriteFileBytes(path(), bytes);
    ConfiguratorModel model(path());
    auto message = model.load();
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->title, "Ошибка");
    EXPECT_EQ(message->icon, MessageIcon::Error);
    EXPECT_NE(message->text.find("Прочитано вычислителей: 2 из 3."), std::string::npos)
        << message->text;
    EXPECT_EQ(model.count(), 2u);
    EXPECT_EQ(model.table().records[2], DeviceRecord{});
}

// The help file keeps the program's name with .HLP for its extension; the manual lies in the
// program's folder whatever the program is called.
TEST(HelpPathsTest, HelpFileAndManualFollowTheProgramsPath) {
    const struct {
        const char* program;
        const char* helpFile;
        const char* manual;
    } rows[] = {
        {"C:\\Program Files\\Movra OPC\\MovraOPCConfigurator.exe",
         "C:\\Program Files\\Movra OPC\\MovraOPCConfigurator.HLP",
         "C:\\Program Files\\Movra OPC\\manual\\index.html"},
        {"D:\\v1.08\\Movra\\MovraOPCConfigurator", "D:\\v1.08\\Movra\\MovraOPCConfigurator.HLP",
         "D:\\v1.08\\Movra\\manual\\index.html"},
        {"MovraOPCConfigurator.exe", "MovraOPCConfigurator.HLP", "manual\\index.html"},
    };
    for (const auto& row : rows) {
        const cfg::HelpPaths paths = cfg::helpPathsOf(w(row.program));
        EXPECT_EQ(platform::wideToUtf8(paths.helpFile), row.helpFile) << row.program;
        EXPECT_EQ(platform::wideToUtf8(paths.manual), row.manual) << row.program;
    }
}

}  // namespace
