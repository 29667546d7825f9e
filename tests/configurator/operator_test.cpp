// Drives the real MovraOPCConfigurator.exe as an operator would: it finds the program's windows
// and sends them what keys and clicks send, then checks the saved file byte by byte. Windows only
// (run under Wine with an X display by operator-test.sh).
#include "configurator/dialog_ids.h"
#include "platform/codepage.h"
#include "platform/wide.h"
#include "platform/win.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr wchar_t kMainTitle[] = L"МОВРА OPC-конфигуратор - версия 1.08";
constexpr wchar_t kDeviceTitle[] = L"Параметры вычислителя";
constexpr wchar_t kProgramName[] = L"MovraOPCConfigurator";
constexpr auto kPatience = std::chrono::seconds(15);

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

std::string header(uint32_t count, uint32_t period) {
    return std::string("\x71\x3D\x8A\x3F", 4) + le32(count) + le32(period);
}

struct Fields {
    std::string description;  // code page 1251
    uint8_t serialHigh = 0, serialLow = 0;
    uint8_t type = 1, link = 1, baud = 3, com = 1, address = 0;
    uint8_t energy = 0, gas = 0, timestamp = 0, ri = 0;
    char reservedFill = 0;
    uint16_t delay = 0;
};

std::string record(const Fields& f) {
    std::string bytes = le32(static_cast<uint32_t>(f.description.size())) + f.description;
    bytes +=
        std::string{'\0', '\0', static_cast<char>(f.serialHigh), static_cast<char>(f.serialLow)};
    for (uint8_t field :
         {f.type, f.link, f.baud, f.com, f.address, f.energy, f.gas, f.timestamp, f.ri}) {
        bytes.push_back(static_cast<char>(field));
    }
    bytes += std::string(62, f.reservedFill);
    bytes.push_back(static_cast<char>(f.delay & 0xFF));
    bytes.push_back(static_cast<char>(f.delay >> 8));
    return bytes;
}

std::wstring text(HWND window) {
    wchar_t buffer[1024] = {};
    SendMessageW(window, WM_GETTEXT, std::size(buffer), reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::wstring className(HWND window) {
    wchar_t buffer[64] = {};
    GetClassNameW(window, buffer, static_cast<int>(std::size(buffer)));
    return buffer;
}

// A message box or dialog as the operator sees it.
struct Box {
    HWND window = nullptr;
    std::wstring title;
    std::wstring message;  // the static text of a message box
    bool hasOk = false, hasYes = false, hasNo = false;
};

// Memory inside the configurator for the list-view messages whose arguments are pointers.
class RemoteMemory {
public:
    RemoteMemory(HANDLE process, size_t size) : process_(process) {
        address_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteMemory() {
        if (address_ != nullptr) {
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        }
    }
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;

    template <typename T>
    T* at(size_t offset) const {
        return reinterpret_cast<T*>(static_cast<char*>(address_) + offset);
    }
    void write(size_t offset, const void* data, size_t size) const {
        WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
    }
    void read(size_t offset, void* data, size_t size) const {
        ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
    }

private:
    HANDLE process_;
    void* address_ = nullptr;
};

// Writes what the screen shows of a window as a 24-bit BMP (for the screenshots of the README).
bool captureWindow(HWND window, const fs::path& file) {
    // The picture is taken once the window and its controls have nothing left to paint.
    const auto deadline = Clock::now() + kPatience;
    auto painted = [](HWND w) { return !GetUpdateRect(w, nullptr, FALSE); };
    for (;;) {
        bool done = painted(window);
        EnumChildWindows(
            window,
            [](HWND child, LPARAM all) -> BOOL {
                if (GetUpdateRect(child, nullptr, FALSE)) {
                    *reinterpret_cast<bool*>(all) = false;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&done));
        if (done || Clock::now() > deadline) {
            break;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<char> pixels(stride * static_cast<DWORD>(height));
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = 0x4D42;
    fileHeader.bfOffBits = sizeof fileHeader + sizeof info;
    fileHeader.bfSize = fileHeader.bfOffBits + static_cast<DWORD>(pixels.size());
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&fileHeader), sizeof fileHeader);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    return static_cast<bool>(out);
}

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("MOVRA_CONFIGURATOR_EXE");
        ASSERT_NE(exe, nullptr) << "MOVRA_CONFIGURATOR_EXE names the program under test";
        folder_ = fs::temp_directory_path() /
                  ("movra-operator-" + std::to_string(GetCurrentProcessId()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        program_ = folder_ / "MovraOPCConfigurator.exe";
        fs::copy_file(exe, program_);
    }

    void TearDown() override {
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_.hProcess, 1);
                WaitForSingleObject(process_.hProcess, 5000);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path configFile() const { return folder_ / "MovraOPCServer.ini"; }

    void writeConfig(const std::string& bytes) const {
        std::ofstream out(configFile(), std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::string savedConfig() const {
        std::ifstream in(configFile(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Starts the program in its folder and waits for its main window.
    void start() {
        std::wstring commandLine = L"\"" + program_.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessW(program_.wstring().c_str(), commandLine.data(), nullptr, nullptr,
                                   FALSE, 0, nullptr, folder_.wstring().c_str(), &startup,
                                   &process_));
        WaitForInputIdle(process_.hProcess, 10000);
        main_ = waitForWindow(kMainTitle).window;
        ASSERT_NE(main_, nullptr) << "no main window";
        list_ = GetDlgItem(main_, IDC_DEVICE_LIST);
    }

    // Looks at the program's top-level dialogs until one with the title is shown; the wait ends
    // early when the program ends.
    Box waitForWindow(const std::wstring& title) {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            struct Search {
                const std::wstring* title;
                HWND found;
            } search{&title, nullptr};
            EnumThreadWindows(
                process_.dwThreadId,
                [](HWND window, LPARAM context) -> BOOL {
                    auto* s = reinterpret_cast<Search*>(context);
                    if (IsWindowVisible(window) && className(window) == L"#32770" &&
                        text(window) == *s->title) {
                        s->found = window;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            if (search.found != nullptr) {
                Box box;
                box.window = search.found;
                box.title = title;
                if (HWND message = GetDlgItem(search.found, 0xFFFF)) {
                    box.message = text(message);
                }
                box.hasOk = GetDlgItem(search.found, IDOK) != nullptr;
                box.hasYes = GetDlgItem(search.found, IDYES) != nullptr;
                box.hasNo = GetDlgItem(search.found, IDNO) != nullptr;
                return box;
            }
            if (WaitForSingleObject(process_.hProcess, 10) == WAIT_OBJECT_0) {
                break;
            }
        }
        ADD_FAILURE() << "no window titled " << platform::wideToUtf8(title);
        return {};
    }

    void waitUntilGone(HWND window) {
        const auto deadline = Clock::now() + kPatience;
        while (IsWindow(window) && Clock::now() < deadline) {
            if (WaitForSingleObject(process_.hProcess, 10) == WAIT_OBJECT_0) {
                return;
            }
        }
        EXPECT_FALSE(IsWindow(window)) << "window stays open";
    }

    bool waitForExit() { return WaitForSingleObject(process_.hProcess, 15000) == WAIT_OBJECT_0; }

    // A click that opens something modal must not wait for it to close: it is posted.
    static void click(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

    // Answers a box with one of its buttons and waits for it to go.
    void answer(const Box& box, int button) {
        ASSERT_NE(box.window, nullptr);
        click(box.window, button);
        waitUntilGone(box.window);
    }

    // Expects a message box with exactly this title and text, and closes it with OK.
    void expectMessage(const std::wstring& title, const std::wstring& message) {
        Box box = waitForWindow(title);
        ASSERT_NE(box.window, nullptr);
        EXPECT_EQ(platform::wideToUtf8(box.message), platform::wideToUtf8(message));
        EXPECT_TRUE(box.hasOk);
        EXPECT_FALSE(box.hasYes);
        answer(box, IDOK);
    }

    void expectError(const std::wstring& message) { expectMessage(L"Ошибка", message); }

    static void setText(HWND dialog, int id, const std::wstring& value) {
        SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(value.c_str()));
    }

    static void type(HWND dialog, int id, const std::wstring& keys) {
        HWND edit = GetDlgItem(dialog, id);
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
        for (wchar_t key : keys) {
            SendMessageW(edit, WM_CHAR, key, 1);
        }
    }

    static std::wstring fieldText(HWND dialog, int id) { return text(GetDlgItem(dialog, id)); }

    // Chooses a list entry and tells the dialog, as a mouse choice does.
    static void choose(HWND dialog, int id, int position) {
        HWND combo = GetDlgItem(dialog, id);
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
    }

    static int chosen(HWND dialog, int id) {
        return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
    }

    static std::wstring listItem(HWND dialog, int id, int position) {
        wchar_t buffer[64] = {};
        SendDlgItemMessageW(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(position),
                            reinterpret_cast<LPARAM>(buffer));
        return buffer;
    }

    static bool checked(HWND dialog, int id) {
        return SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }

    int rowCount() const { return static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)); }

    std::wstring cell(int row, int column) const { return cellOf(list_, row, column); }

    std::wstring cellOf(HWND list, int row, int column) const {
        constexpr size_t kTextBytes = 512;
        RemoteMemory memory(process_.hProcess, sizeof(LVITEMW) + kTextBytes);
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = memory.at<wchar_t>(sizeof(LVITEMW));
        item.cchTextMax = kTextBytes / sizeof(wchar_t);
        memory.write(0, &item, sizeof item);
        SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(memory.at<LVITEMW>(0)));
        wchar_t buffer[kTextBytes / sizeof(wchar_t)] = {};
        memory.read(sizeof(LVITEMW), buffer, sizeof buffer - sizeof(wchar_t));
        return buffer;
    }

    std::vector<std::wstring> rowCells(int row) const {
        std::vector<std::wstring> cells;
        for (int column = 0; column < 8; ++column) {
            cells.push_back(cell(row, column));
        }
        return cells;
    }

    // What a click on a row does: the row gets the focus and the selection.
    void focusRow(int row) const {
        RemoteMemory memory(process_.hProcess, sizeof(LVITEMW));
        LVITEMW item{};
        item.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
        item.state = LVIS_FOCUSED | LVIS_SELECTED;
        memory.write(0, &item, sizeof item);
        SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(memory.at<LVITEMW>(0)));
    }

    void pressKey(HWND window, WPARAM key) const {
        PostMessageW(window, WM_KEYDOWN, key, 1);
        PostMessageW(window, WM_KEYUP, key, 0xC0000001);
    }

    fs::path folder_;
    fs::path program_;
    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
    HWND list_ = nullptr;
};

// Two devices in the prepared file; the second carries reserved bytes that must survive an edit.
const Fields kBoiler = [] {
    Fields f;
    f.description = "\xCA\xEE\xF2\xE5\xEB\xFC\xED\xE0\xFF";  // "Котельная"
    f.serialHigh = 0x12;
    f.serialLow = 0xAB;
    return f;
}();

const Fields kSubstation = [] {
    Fields f;
    f.description = "\xD6\xD2\xCF-4";  // "ЦТП-4"
    f.serialHigh = 0x20;
    f.serialLow = 0x01;
    f.type = 2;
    f.link = 2;
    f.baud = 4;
    f.com = 2;
    f.address = 1;
    f.reservedFill = 0x11;
    f.delay = 100;
    return f;
}();

TEST_F(OperatorTest, AddsEditsDeletesAndSavesAsTheOperatorDoes) {
    const std::string prepared = header(2, 60) + record(kBoiler) + record(kSubstation);
    writeConfig(prepared);
    start();
    ASSERT_NE(main_, nullptr);
    EXPECT_EQ(GetWindowLongPtrW(main_, GWL_STYLE) & WS_SYSMENU, 0)
        << "no system menu, no close box";
    ASSERT_EQ(rowCount(), 2);
    EXPECT_EQ(rowCells(0), (std::vector<std::wstring>{L"", L"12AB", L"Котельная", L"КМТ", L"RS-232",
                                                      L" 9600", L"COM 1", L"нет номера"}));
    EXPECT_EQ(rowCells(1), (std::vector<std::wstring>{L"", L"2001", L"ЦТП-4", L"КМТ-В", L"RS-485",
                                                      L"19200", L"COM 2", L"001"}));
    EXPECT_EQ(fieldText(main_, IDC_PERIOD), L"60");

    // A new device: the dialog opens with its defaults.
    click(main_, IDC_ADD);
    Box device = waitForWindow(kDeviceTitle);
    HWND d = device.window;
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(fieldText(d, IDC_DESCRIPTION), L"Неизвестный объект");
    EXPECT_EQ(fieldText(d, IDC_SERIAL), L"NNNN");
    EXPECT_EQ(fieldText(d, IDC_START_DELAY), L"0");
    for (int id : {IDC_TYPE, IDC_LINK, IDC_BAUD, IDC_COM_PORT, IDC_RS485_ADDRESS}) {
        EXPECT_EQ(chosen(d, id), CB_ERR) << id;
    }
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, IDC_RS485_ADDRESS)));
    EXPECT_TRUE(checked(d, IDC_ENERGY_GJ));
    EXPECT_TRUE(checked(d, IDC_GAS_M3));
    EXPECT_TRUE(checked(d, IDC_TIME_UTC));
    EXPECT_FALSE(checked(d, IDC_RI_ADAPTER));
    EXPECT_EQ(listItem(d, IDC_TYPE, 4), L"КМТ-УВ");
    EXPECT_EQ(listItem(d, IDC_BAUD, 3), L"19200");
    EXPECT_EQ(SendDlgItemMessageW(d, IDC_COM_PORT, CB_GETCOUNT, 0, 0), 255);
    EXPECT_EQ(listItem(d, IDC_COM_PORT, 254), L"COM255");
    EXPECT_EQ(SendDlgItemMessageW(d, IDC_RS485_ADDRESS, CB_GETCOUNT, 0, 0), 250);
    EXPECT_EQ(listItem(d, IDC_RS485_ADDRESS, 0), L"001");

    click(d, IDOK);
    expectError(L"Не введен серийный номер вычислителя!");
    type(d, IDC_SERIAL, L"12g4");
    EXPECT_EQ(fieldText(d, IDC_SERIAL), L"12G4");
    click(d, IDOK);
    expectError(L"Введен некорректный серийный номер вычислителя!");

    setText(d, IDC_DESCRIPTION, L"Насосная станция ✓");
    type(d, IDC_SERIAL, L"12ab");
    choose(d, IDC_TYPE, 3);  // КМТ-У
    choose(d, IDC_LINK, 1);  // RS-485
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, IDC_RS485_ADDRESS)));
    choose(d, IDC_BAUD, 1);      // 4800
    choose(d, IDC_COM_PORT, 2);  // COM3
    click(d, IDOK);
    expectError(L"Вычислитель с таким серийным номером уже задан в текущей конфигурации!");
    type(d, IDC_SERIAL, L"34567");
    EXPECT_EQ(fieldText(d, IDC_SERIAL), L"3456") << "the serial takes four characters";
    click(d, IDOK);
    expectError(L"Не указан номер вычислителя в сети RS-485!");
    choose(d, IDC_RS485_ADDRESS, 4);  // 005
    type(d, IDC_START_DELAY, L"70000");
    click(d, IDOK);
    expectError(L"Задержка перед началом опроса вычислителя не должна превышать 10000 мс!");
    type(d, IDC_START_DELAY, L"250");
    SendDlgItemMessageW(d, IDC_ENERGY_GCAL, BM_CLICK, 0, 0);
    SendDlgItemMessageW(d, IDC_TIME_LOCAL, BM_CLICK, 0, 0);
    SendDlgItemMessageW(d, IDC_RI_ADAPTER, BM_CLICK, 0, 0);
    EXPECT_FALSE(checked(d, IDC_ENERGY_GJ));
    EXPECT_FALSE(checked(d, IDC_TIME_UTC));
    click(d, IDOK);
    waitUntilGone(d);
    ASSERT_EQ(rowCount(), 3);
    EXPECT_EQ(rowCells(2), (std::vector<std::wstring>{L"", L"3456", L"Насосная станция ?", L"КМТ-У",
                                                      L"RS-485", L" 4800", L"COM 3", L"005"}));

    // Editing the second device: RS-485 to RS-232.
    focusRow(1);
    click(main_, IDC_EDIT);
    d = waitForWindow(kDeviceTitle).window;
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(fieldText(d, IDC_SERIAL), L"2001");
    EXPECT_EQ(chosen(d, IDC_TYPE), 1);
    EXPECT_EQ(chosen(d, IDC_RS485_ADDRESS), 0);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, IDC_RS485_ADDRESS)));
    EXPECT_EQ(fieldText(d, IDC_START_DELAY), L"100");
    choose(d, IDC_LINK, 0);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, IDC_RS485_ADDRESS)));
    click(d, IDOK);
    waitUntilGone(d);
    EXPECT_EQ(cell(1, 4), L"RS-232");
    EXPECT_EQ(cell(1, 7), L"нет номера");

    // Deleting the first device with the Delete key: "No" keeps it, "Yes" removes it.
    focusRow(0);
    pressKey(list_, VK_DELETE);
    Box confirm = waitForWindow(L"Подтверждение удаления вычислителя");
    EXPECT_EQ(confirm.message,
              L"Вы уверены, что хотите удалить данный вычислитель из конфигурации?");
    EXPECT_TRUE(confirm.hasYes && confirm.hasNo);
    answer(confirm, IDNO);
    ASSERT_EQ(rowCount(), 3);
    pressKey(list_, VK_DELETE);
    answer(waitForWindow(L"Подтверждение удаления вычислителя"), IDYES);
    ASSERT_EQ(rowCount(), 2);
    EXPECT_EQ(cell(0, 1), L"2001");
    EXPECT_EQ(cell(1, 1), L"3456");

    // KMT-V and KMT-U: step 12, minimum 12.
    type(main_, IDC_PERIOD, L"50000");
    EXPECT_EQ(fieldText(main_, IDC_PERIOD), L"5000") << "the period takes four digits";
    click(main_, IDOK);
    expectError(L"Период опроса не должен превышать 3600 сек!");
    type(main_, IDC_PERIOD, L"5");
    click(main_, IDOK);
    expectError(L"Для заданной конфигурации период опроса должен быть не менее 12 сек!");
    EXPECT_EQ(fieldText(main_, IDC_PERIOD), L"5");
    EXPECT_EQ(savedConfig(), prepared) << "nothing reaches the file before a save";
    type(main_, IDC_PERIOD, L"20");
    click(main_, IDOK);
    expectMessage(kProgramName, L"Период опроса был скорректирован до 24 сек!");
    expectMessage(kProgramName, L"Конфигурация была успешно сохранена!");
    ASSERT_TRUE(waitForExit());

    Fields edited = kSubstation;
    edited.link = 1;  // the former RS-485 number stays in the record
    Fields added;
    added.description = "\xCD\xE0\xF1\xEE\xF1\xED\xE0\xFF \xF1\xF2\xE0\xED\xF6\xE8\xFF ?";
    added.serialHigh = 0x34;
    added.serialLow = 0x56;
    added.type = 4;
    added.link = 2;
    added.baud = 2;
    added.com = 3;
    added.address = 5;
    added.energy = 1;
    added.timestamp = 1;
    added.ri = 1;
    added.delay = 250;
    EXPECT_EQ(savedConfig(), header(2, 24) + record(edited) + record(added));
}

TEST_F(OperatorTest, EscapeAsksAndNoKeepsTheProgramYesLeavesTheFileAlone) {
    const std::string prepared = header(1, 8) + record(kBoiler);
    writeConfig(prepared);
    start();
    ASSERT_NE(main_, nullptr);
    pressKey(list_, VK_ESCAPE);
    Box ask = waitForWindow(L"");
    EXPECT_EQ(ask.message, L"Выйти из программы без сохранения сделанных изменений?");
    EXPECT_TRUE(ask.hasYes && ask.hasNo);
    answer(ask, IDNO);
    EXPECT_TRUE(IsWindowVisible(main_));

    click(main_, IDC_EDIT);  // nothing focused yet
    expectMessage(kProgramName, L"Укажите вычислитель для редактирования!");
    click(main_, IDC_DELETE);
    expectMessage(kProgramName, L"Укажите вычислитель для удаления!");
    click(main_, IDHELP);  // no help file beside this copy of the program
    Box help = waitForWindow(L"Ошибка");
    EXPECT_EQ(help.message.rfind(L"Не найден файл справочного руководства", 0), 0u)
        << platform::wideToUtf8(help.message);
    answer(help, IDOK);

    click(main_, IDCANCEL);
    answer(waitForWindow(L""), IDYES);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(savedConfig(), prepared);
}

// Makes the shell's "open" of an .html file run a recorder that writes the file's path into
// `record`: the prefix is this run's own copy, so no browser of the machine is touched.
bool recordHtmlOpensIn(const fs::path& record) {
    const std::wstring command =
        L"C:\\windows\\system32\\cmd.exe /c echo \"%1\"> \"" + record.wstring() + L"\"";
    auto set = [](HKEY root, const wchar_t* key, const std::wstring& value) {
        HKEY opened = nullptr;
        if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        const LONG written =
            RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(opened);
        return written == ERROR_SUCCESS;
    };
    bool ok = true;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        ok = set(root, L"Software\\Classes\\.html", L"MovraTest.html") && ok;
        ok = set(root, L"Software\\Classes\\MovraTest.html\\shell\\open\\command", command) && ok;
    }
    return ok;
}

// Without a help file beside the program, the help button asks the shell to open the manual
// that the installer puts there.
TEST_F(OperatorTest, HelpWithoutAHelpFileOpensTheManualInTheBrowser) {
    fs::create_directories(folder_ / "manual");
    std::ofstream(folder_ / "manual" / "index.html") << "<!DOCTYPE html><title>manual</title>\n";
    const fs::path record = folder_ / "opened.txt";
    ASSERT_TRUE(recordHtmlOpensIn(record));
    start();
    ASSERT_NE(main_, nullptr);
    click(main_, IDHELP);
    std::string opened;
    for (const auto deadline = Clock::now() + kPatience;
         opened.empty() && Clock::now() < deadline;) {
        Sleep(20);
        std::ifstream in(record);
        std::getline(in, opened);
    }
    std::erase(opened, '"');
    std::erase(opened, '\r');
    while (!opened.empty() && opened.back() == ' ') {
        opened.pop_back();
    }
    EXPECT_EQ(fs::path(opened), folder_ / "manual" / "index.html") << "the shell was asked for";
    click(main_, IDCANCEL);
    answer(waitForWindow(L""), IDYES);
    ASSERT_TRUE(waitForExit());
}

TEST_F(OperatorTest, EnterSavesAnEmptyListAsTwelveBytes) {
    start();  // no file: an empty list
    ASSERT_NE(main_, nullptr);
    EXPECT_EQ(rowCount(), 0);
    EXPECT_EQ(fieldText(main_, IDC_PERIOD), L"0");
    pressKey(GetDlgItem(main_, IDC_PERIOD), VK_RETURN);
    expectMessage(kProgramName, L"Конфигурация была успешно сохранена!");
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(savedConfig(), header(0, 0));
}

TEST_F(OperatorTest, FullTableRefusesTheHundredAndFirstDevice) {
    std::string bytes = header(100, 3600);
    for (int i = 0; i < 100; ++i) {
        Fields f;
        f.serialLow = static_cast<uint8_t>(i);
        bytes += record(f);
    }
    writeConfig(bytes);
    start();
    ASSERT_NE(main_, nullptr);
    EXPECT_EQ(rowCount(), 100);
    click(main_, IDC_ADD);
    expectMessage(kProgramName, L"Количество вычислителей в конфигурации не может превышать 100!");
    EXPECT_EQ(rowCount(), 100);
}

TEST_F(OperatorTest, DamagedFileIsReportedAndItsWholeRecordsShown) {
    writeConfig(header(2, 60) + record(kBoiler) + record(kSubstation).substr(0, 20));
    start();
    ASSERT_NE(main_, nullptr);
    Box box = waitForWindow(L"Ошибка");
    EXPECT_NE(box.message.find(L"Прочитано вычислителей: 1 из 2."), std::wstring::npos)
        << platform::wideToUtf8(box.message);
    answer(box, IDOK);
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(cell(0, 1), L"12AB");
}

// Not a check: configurator/screenshots.sh runs it to picture the two dialogs for the README.
TEST_F(OperatorTest, DISABLED_Screenshots) {
    const char* target = std::getenv("MOVRA_SCREENSHOT_DIR");
    ASSERT_NE(target, nullptr);
    const auto cp1251 = [](const wchar_t* text) { return platform::wideToCp1251(text); };
    std::string bytes = header(5, 48);
    const struct {
        const wchar_t* description;
        uint8_t high, low, type, link, baud, com, address, energy, gas, timestamp, ri;
        uint16_t delay;
    } devices[] = {
        {L"Котельная №1, ул. Ленина, 12", 0x12, 0xAB, 1, 1, 3, 1, 0, 1, 0, 1, 0, 0},
        {L"ЦТП-4, микрорайон Северный", 0x20, 0x01, 2, 2, 4, 2, 1, 0, 0, 0, 1, 200},
        {L"Газовая котельная городской больницы", 0x20, 0x02, 3, 2, 4, 2, 2, 1, 1, 2, 1, 200},
        {L"Насосная станция подкачки", 0x34, 0x56, 4, 1, 2, 3, 0, 0, 0, 1, 0, 0},
        {L"Школа №7", 0x00, 0xFF, 5, 2, 1, 4, 17, 1, 0, 0, 0, 500},
    };
    for (const auto& device : devices) {
        Fields f;
        f.description = cp1251(device.description);
        f.serialHigh = device.high;
        f.serialLow = device.low;
        f.type = device.type;
        f.link = device.link;
        f.baud = device.baud;
        f.com = device.com;
        f.address = device.address;
        f.energy = device.energy;
        f.gas = device.gas;
        f.timestamp = device.timestamp;
        f.ri = device.ri;
        f.delay = device.delay;
        bytes += record(f);
    }
    writeConfig(bytes);
    start();
    ASSERT_NE(main_, nullptr);
    ASSERT_EQ(rowCount(), 5);
    EXPECT_TRUE(captureWindow(main_, fs::path(target) / "configurator-main.bmp"));

    focusRow(2);
    click(main_, IDC_EDIT);
    HWND d = waitForWindow(kDeviceTitle).window;
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(captureWindow(d, fs::path(target) / "configurator-device.bmp"));
}

// "Проверить связь" and "Проверить все" against the simulated lines of operator-test.sh: COM3
// (RS-485: a KMT-G 0A1B at number 1, a silent KMT-G 0B02 at number 2), COM4 (RS-485: a silent
// KMT 0C03 at number 3) and COM6 (RS-232: a KMT-G 0D04).
class ConnectionCheckTest : public OperatorTest {
protected:
    void SetUp() override {
        OperatorTest::SetUp();
        const char* logs = std::getenv("MOVRA_SIM_LOGS");
        if (logs == nullptr) {
            GTEST_SKIP() << "no simulated lines: MOVRA_KMT_SIM names no simulator";
        }
        logs_ = logs;
    }

    // Requests that reached the simulator of COM<port>, from its frame trace.
    size_t requests(int port) const {
        std::ifstream in(fs::path(logs_) / ("sim" + std::to_string(port) + ".log"));
        size_t count = 0;
        for (std::string line; std::getline(in, line);) {
            count += line.find("] in ") != std::string::npos ? 1 : 0;
        }
        return count;
    }

    bool waitFor(const std::function<bool()>& condition) const {
        const auto deadline = Clock::now() + kPatience;
        while (!condition()) {
            if (Clock::now() > deadline) {
                return false;
            }
            Sleep(10);
        }
        return true;
    }

    // The entry's fields as an operator chooses them; positions as in the lists.
    static void enter(HWND d, const wchar_t* serial, int type, int link, int com, int address) {
        typeSerial(d, serial);
        choose(d, IDC_TYPE, type);
        choose(d, IDC_LINK, link);
        choose(d, IDC_BAUD, 3);  // 19200
        choose(d, IDC_COM_PORT, com);
        if (address >= 0) {
            choose(d, IDC_RS485_ADDRESS, address);
        }
    }
    static void typeSerial(HWND d, const wchar_t* serial) { type(d, IDC_SERIAL, serial); }

    struct Result {
        std::wstring headline;
        std::wstring details;
        double ms = 0;  // from the press to the result window
    };

    // Presses "Проверить связь" and reads the result window, then closes it.
    Result checkAndRead(HWND d) {
        const auto pressed = Clock::now();
        click(d, IDC_CHECK);
        Box box = waitForWindow(kResultTitle);
        Result result;
        result.ms = std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
        if (box.window != nullptr) {
            result.headline = text(GetDlgItem(box.window, IDC_RESULT_HEADLINE));
            result.details = text(GetDlgItem(box.window, IDC_RESULT_DETAILS));
            answer(box, IDOK);
        }
        return result;
    }

    // Whether a window with the title is shown now, without waiting for one.
    bool shown(const std::wstring& title) const {
        struct Search {
            const std::wstring* title;
            bool found;
        } search{&title, false};
        EnumThreadWindows(
            process_.dwThreadId,
            [](HWND window, LPARAM context) -> BOOL {
                auto* s = reinterpret_cast<Search*>(context);
                s->found = s->found || (IsWindowVisible(window) && text(window) == *s->title);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    static constexpr wchar_t kResultTitle[] = L"Результат проверки связи";
    static constexpr wchar_t kCheckAllTitle[] = L"Проверка связи с вычислителями";
    std::string logs_;
};

const Fields kHealthyOnCom3 = [] {
    Fields f = kBoiler;
    f.serialHigh = 0x0A;
    f.serialLow = 0x1B;
    f.type = 3;
    f.link = 2;
    f.baud = 4;
    f.com = 3;
    f.address = 1;
    return f;
}();

const Fields kSilentOnCom3 = [] {
    Fields f = kSubstation;
    f.serialHigh = 0x0B;
    f.serialLow = 0x02;
    f.type = 3;
    f.baud = 4;
    f.com = 3;
    f.address = 2;
    return f;
}();

TEST_F(ConnectionCheckTest, DeviceDialogChecksTheEntryAsEnteredAndChangesNothing) {
    const std::string prepared = header(1, 60) + record(kBoiler);
    writeConfig(prepared);
    start();
    ASSERT_NE(main_, nullptr);
    click(main_, IDC_ADD);
    HWND d = waitForWindow(kDeviceTitle).window;
    ASSERT_NE(d, nullptr);

    // What OK refuses is refused with OK's message, and nothing reaches the line.
    enter(d, L"12g4", 2, 0, 5, -1);  // KMT-G on COM6, RS-232
    click(d, IDC_CHECK);
    expectError(L"Введен некорректный серийный номер вычислителя!");
    typeSerial(d, L"12AB");
    click(d, IDC_CHECK);
    expectError(L"Вычислитель с таким серийным номером уже задан в текущей конфигурации!");
    typeSerial(d, L"0D04");
    choose(d, IDC_LINK, 1);
    click(d, IDC_CHECK);
    expectError(L"Не указан номер вычислителя в сети RS-485!");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, IDC_CHECK)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(d, IDC_CHECK_CANCEL)));
    EXPECT_EQ(requests(6), 0u) << "a refused entry reached the line";
    // The same line shows a request once the entry is right.
    choose(d, IDC_LINK, 0);
    Result fixed = checkAndRead(d);
    EXPECT_EQ(fixed.headline, L"Связь с вычислителем установлена.");
    EXPECT_GE(requests(6), 1u);

    // A healthy device, a silent one and one whose serial is not the one entered, on COM3.
    const struct {
        const wchar_t* serial;
        int address;
        const wchar_t* headline;
        const wchar_t* detail;
    } rows[] = {
        {L"0A1B", 0, L"Связь с вычислителем установлена.",
         L"Серийный номер: 0A1B\r\nТип вычислителя: КМТ-Г\r\nВерсия: 0.1.0\r\nКаналов: 2 из 3\r\n"
         L"Узлов: 1 из 3\r\n\r\nТекущие значения:\r\n    SYS.Pa = "},
        {L"0B02", 1, L"Нет связи с вычислителем.",
         L"Нет ответа по адресу 002 на скорости 19200 бод: вычислитель молчал 4 с после запроса "
         L"0x50.\r\nПроверьте поля \"Номер вычислителя в сети RS-485\""},
        {L"0A1C", 0, L"Ответил другой вычислитель.",
         L"Серийный номер не совпадает: ответил вычислитель 0A1B, а введен 0A1C.\r\nЕсли "
         L"подключен нужный вычислитель, исправьте поле \"Серийный номер РКЕ\" на 0A1B; если нет, "
         L"исправьте поля \"COM-порт для связи с вычислителем\" и \"Номер вычислителя в сети "
         L"RS-485\"."},
    };
    double healthyMs = 0;
    for (const auto& row : rows) {
        enter(d, row.serial, 2, 1, 2, row.address);
        if (row.address == 1) {
            // While the silent device is awaited the dialog says so, offers "Отмена" and answers.
            click(d, IDC_CHECK);
            EXPECT_TRUE(waitFor([&] { return IsWindowVisible(GetDlgItem(d, IDC_CHECK_CANCEL)); }));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, IDC_CHECK)));
            EXPECT_EQ(fieldText(d, IDC_CHECK_STATUS),
                      L"Идет проверка связи: COM3, 19200 бод, адрес 002...");
            setText(d, IDC_DESCRIPTION, L"Пока идет проверка");
            EXPECT_EQ(fieldText(d, IDC_DESCRIPTION), L"Пока идет проверка");
            Box box = waitForWindow(kResultTitle);
            ASSERT_NE(box.window, nullptr);
            EXPECT_EQ(text(GetDlgItem(box.window, IDC_RESULT_HEADLINE)), row.headline);
            const std::wstring details = text(GetDlgItem(box.window, IDC_RESULT_DETAILS));
            EXPECT_EQ(details.rfind(row.detail, 0), 0u) << platform::wideToUtf8(details);
            answer(box, IDOK);
            EXPECT_FALSE(IsWindowVisible(GetDlgItem(d, IDC_CHECK_CANCEL)));
            continue;
        }
        Result result = checkAndRead(d);
        EXPECT_EQ(result.headline, row.headline);
        EXPECT_EQ(result.details.rfind(row.detail, 0), 0u) << platform::wideToUtf8(result.details);
        if (row.address == 0 && healthyMs == 0) {
            healthyMs = result.ms;
        }
    }

    // "Отмена" stops the check of a silent KMT on RS-485 (16 s of silence) at once: measured from
    // the press to the dialog's "Проверить связь" back, beside the healthy check's whole time.
    enter(d, L"0C03", 0, 1, 3, 2);
    const size_t before = requests(4);
    click(d, IDC_CHECK);
    ASSERT_TRUE(waitFor([&] { return requests(4) > before; })) << "no request on COM4";
    const auto pressed = Clock::now();
    click(d, IDC_CHECK_CANCEL);
    ASSERT_TRUE(waitFor([&] { return IsWindowEnabled(GetDlgItem(d, IDC_CHECK)) != FALSE; }));
    const double cancelMs =
        std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
    std::printf("cancel under Wine: %.0f ms to control back; a healthy check: %.0f ms\n", cancelMs,
                healthyMs);
    EXPECT_EQ(fieldText(d, IDC_CHECK_STATUS), L"Проверка прервана.");
    EXPECT_FALSE(shown(kResultTitle)) << "a cancelled check shows no result";
    EXPECT_LT(cancelMs, std::max(1000.0, 4 * healthyMs));

    // Closing the dialog while a check runs stops it; neither the table nor the file changed.
    click(d, IDC_CHECK);
    ASSERT_TRUE(waitFor([&] { return IsWindowVisible(GetDlgItem(d, IDC_CHECK_CANCEL)) != FALSE; }));
    click(d, IDCANCEL);
    waitUntilGone(d);
    EXPECT_EQ(rowCount(), 1);
    click(main_, IDCANCEL);
    answer(waitForWindow(L""), IDYES);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(savedConfig(), prepared);
}

TEST_F(ConnectionCheckTest, CheckAllShowsOneRowPerDeviceAndCanBeCancelled) {
    const std::string prepared = header(2, 60) + record(kHealthyOnCom3) + record(kSilentOnCom3);
    writeConfig(prepared);
    start();
    ASSERT_NE(main_, nullptr);
    for (bool cancel : {false, true}) {
        click(main_, IDC_CHECK_ALL);
        Box all = waitForWindow(kCheckAllTitle);
        ASSERT_NE(all.window, nullptr);
        HWND list = GetDlgItem(all.window, IDC_CHECK_ALL_LIST);
        ASSERT_TRUE(waitFor([&] { return cellOf(list, 1, 3) == L"идет проверка..."; }));
        EXPECT_EQ(cellOf(list, 0, 3), L"в порядке: КМТ-Г, каналов 2, узлов 1");
        EXPECT_EQ(fieldText(all.window, IDC_CHECK_ALL_STATUS),
                  L"Проверяется вычислитель 2 из 2: 0B02 (COM3)...");
        EXPECT_EQ(fieldText(all.window, IDCANCEL), L"Отмена");
        if (cancel) {
            click(all.window, IDCANCEL);
        }
        ASSERT_TRUE(waitFor([&] { return fieldText(all.window, IDCANCEL) == L"Закрыть"; }));
        for (int column = 0; column < 3; ++column) {
            EXPECT_EQ(cellOf(list, 0, column),
                      (std::vector<std::wstring>{L"0A1B", L"Котельная", L"COM 3"}[column]));
            EXPECT_EQ(cellOf(list, 1, column),
                      (std::vector<std::wstring>{L"0B02", L"ЦТП-4", L"COM 3"}[column]));
        }
        EXPECT_EQ(cellOf(list, 1, 3), cancel ? L"проверка прервана"
                                             : L"нет ответа по адресу 002 на скорости 19200 бод");
        EXPECT_EQ(fieldText(all.window, IDC_CHECK_ALL_STATUS),
                  cancel ? L"Проверка прервана: проверено 1 из 2, ответили 1."
                         : L"Проверка завершена: ответили 1 из 2.");
        answer(all, IDCANCEL);
    }
    EXPECT_EQ(rowCount(), 2);
    click(main_, IDCANCEL);
    answer(waitForWindow(L""), IDYES);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(savedConfig(), prepared);
}

// Not a check: configurator/screenshots.sh runs it to picture the results for the README.
TEST_F(ConnectionCheckTest, DISABLED_CheckScreenshots) {
    const char* target = std::getenv("MOVRA_SCREENSHOT_DIR");
    ASSERT_NE(target, nullptr);
    writeConfig(header(2, 60) + record(kHealthyOnCom3) + record(kSilentOnCom3));
    start();
    ASSERT_NE(main_, nullptr);
    for (int row : {0, 1}) {
        focusRow(row);
        click(main_, IDC_EDIT);
        HWND d = waitForWindow(kDeviceTitle).window;
        ASSERT_NE(d, nullptr);
        click(d, IDC_CHECK);
        Box box = waitForWindow(kResultTitle);
        ASSERT_NE(box.window, nullptr);
        EXPECT_TRUE(captureWindow(box.window,
                                  fs::path(target) / (row == 0 ? "configurator-check-healthy.bmp"
                                                               : "configurator-check-silent.bmp")));
        answer(box, IDOK);
        click(d, IDCANCEL);
        waitUntilGone(d);
    }
    click(main_, IDC_CHECK_ALL);
    Box all = waitForWindow(kCheckAllTitle);
    ASSERT_NE(all.window, nullptr);
    ASSERT_TRUE(waitFor([&] { return fieldText(all.window, IDCANCEL) == L"Закрыть"; }));
    EXPECT_TRUE(captureWindow(all.window, fs::path(target) / "configurator-check-all.bmp"));
}

}  // namespace
