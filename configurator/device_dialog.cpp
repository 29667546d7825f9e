#include "configurator/dialog_ids.h"
#include "configurator/win32_ui.h"

namespace movra::configurator {

namespace {

struct DeviceDialog {
    ConfiguratorModel& model;
    std::optional<uint32_t> editIndex;
    std::optional<CheckRunner> runner;  // made when the window is there to be told
    DeviceRecord checked;  // the entry as it was when "Проверить связь" was pressed
};

void addItems(HWND combo, const std::wstring& item) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

template <size_t N>
void fillList(HWND dialog, int id, const std::array<const char*, N>& names) {
    for (const char* name : names) {
        addItems(GetDlgItem(dialog, id), wide(name));
    }
}

void select(HWND dialog, int id, int position) {
    SendDlgItemMessageW(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

int selection(HWND dialog, int id) {
    auto position = SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0);
    return position == CB_ERR ? -1 : static_cast<int>(position);
}

void showForm(HWND dialog, const DeviceForm& form) {
    SetDlgItemTextW(dialog, IDC_DESCRIPTION, form.description.c_str());
    SetDlgItemTextW(dialog, IDC_SERIAL, form.serial.c_str());
    select(dialog, IDC_TYPE, form.deviceType);
    select(dialog, IDC_LINK, form.link);
    select(dialog, IDC_BAUD, form.baud);
    select(dialog, IDC_COM_PORT, form.comPort);
    select(dialog, IDC_RS485_ADDRESS, form.rs485Address);
    EnableWindow(GetDlgItem(dialog, IDC_RS485_ADDRESS), form.rs485Enabled());
    SetDlgItemTextW(dialog, IDC_START_DELAY, form.startDelay.c_str());
    CheckRadioButton(dialog, IDC_ENERGY_GJ, IDC_ENERGY_GCAL,
                     form.gcal ? IDC_ENERGY_GCAL : IDC_ENERGY_GJ);
    CheckRadioButton(dialog, IDC_GAS_M3, IDC_GAS_THOUSAND_M3,
                     form.thousandCubicMetres ? IDC_GAS_THOUSAND_M3 : IDC_GAS_M3);
    if (form.timestamp >= 0 && form.timestamp <= 2) {
        CheckRadioButton(dialog, IDC_TIME_UTC, IDC_TIME_DEVICE, IDC_TIME_UTC + form.timestamp);
    }
    CheckDlgButton(dialog, IDC_RI_ADAPTER, form.riAdapter ? BST_CHECKED : BST_UNCHECKED);
}

DeviceForm readForm(HWND dialog) {
    DeviceForm form;
    form.description = windowText(GetDlgItem(dialog, IDC_DESCRIPTION));
    form.serial = windowText(GetDlgItem(dialog, IDC_SERIAL));
    form.deviceType = selection(dialog, IDC_TYPE);
    form.link = selection(dialog, IDC_LINK);
    form.baud = selection(dialog, IDC_BAUD);
    form.comPort = selection(dialog, IDC_COM_PORT);
    form.rs485Address = selection(dialog, IDC_RS485_ADDRESS);
    form.startDelay = windowText(GetDlgItem(dialog, IDC_START_DELAY));
    form.gcal = IsDlgButtonChecked(dialog, IDC_ENERGY_GCAL) == BST_CHECKED;
    form.thousandCubicMetres = IsDlgButtonChecked(dialog, IDC_GAS_THOUSAND_M3) == BST_CHECKED;
    form.timestamp = -1;
    for (int i = 0; i <= 2; ++i) {
        if (IsDlgButtonChecked(dialog, IDC_TIME_UTC + i) == BST_CHECKED) {
            form.timestamp = i;
        }
    }
    form.riAdapter = IsDlgButtonChecked(dialog, IDC_RI_ADAPTER) == BST_CHECKED;
    return form;
}

BOOL onInit(HWND dialog, DeviceDialog& state) {
    fillList(dialog, IDC_TYPE, kDeviceTypeNames);
    fillList(dialog, IDC_LINK, kLinkNames);
    fillList(dialog, IDC_BAUD, kBaudNames);
    HWND com = GetDlgItem(dialog, IDC_COM_PORT);
    for (int i = 0; i < kComPortCount; ++i) {
        addItems(com, comPortItem(i));
    }
    HWND address = GetDlgItem(dialog, IDC_RS485_ADDRESS);
    for (int i = 0; i < kRs485AddressCount; ++i) {
        addItems(address, rs485AddressItem(i));
    }
    SendDlgItemMessageW(dialog, IDC_SERIAL, EM_LIMITTEXT, kSerialDigits, 0);
    state.runner.emplace(postedTo(dialog));
    showForm(dialog, state.editIndex ? state.model.editForm(*state.editIndex)
                                     : ConfiguratorModel::newDeviceForm());
    HWND description = GetDlgItem(dialog, IDC_DESCRIPTION);
    SetFocus(description);
    SendMessageW(description, EM_SETSEL, 0, -1);
    return FALSE;  // the focus is set
}

// While a check runs the dialog says so and offers its own "Отмена"; the fields stay usable.
void showCheckRunning(HWND dialog, bool running, const std::string& status) {
    SetDlgItemTextW(dialog, IDC_CHECK_STATUS, wide(status).c_str());
    ShowWindow(GetDlgItem(dialog, IDC_CHECK_PROGRESS), running ? SW_SHOW : SW_HIDE);
    SendDlgItemMessageW(dialog, IDC_CHECK_PROGRESS, PBM_SETMARQUEE, running, 30);
    HWND cancel = GetDlgItem(dialog, IDC_CHECK_CANCEL);
    EnableWindow(cancel, running);
    ShowWindow(cancel, running ? SW_SHOW : SW_HIDE);
    HWND check = GetDlgItem(dialog, IDC_CHECK);
    const bool hadFocus = GetFocus() == (running ? check : cancel) || GetFocus() == nullptr;
    EnableWindow(check, !running);
    if (hadFocus) {
        SetFocus(running ? cancel : check);
    }
}

void onCheck(HWND dialog, DeviceDialog& state) {
    if (state.runner->running()) {
        return;
    }
    // OK's checks and messages; a refused entry never reaches a port.
    DeviceRecord record;
    if (auto refusal = state.model.recordForCheck(state.editIndex, readForm(dialog), record)) {
        showMessage(dialog, *refusal);
        return;
    }
    state.checked = record;
    const uint32_t index = state.editIndex.value_or(state.model.count());
    showCheckRunning(dialog, true, checkRunningText(record));
    state.runner->start({record}, riRs485CountWith(state.model.table(), index, record));
}

void onCheckDone(HWND dialog, DeviceDialog& state) {
    state.runner->wait();
    auto result = state.runner->result(0);
    if (!result || state.runner->cancelled()) {
        showCheckRunning(dialog, false, "Проверка прервана.");
        return;
    }
    showCheckRunning(dialog, false, "");
    showCheckResult(dialog, describeCheck(state.checked, *result));
}

// Closing the dialog stops its check first, so the port is let go before the dialog ends.
void close(HWND dialog, DeviceDialog& state, INT_PTR result) {
    state.runner.reset();
    EndDialog(dialog, result);
}

void onOk(HWND dialog, DeviceDialog& state) {
    DeviceForm form = readForm(dialog);
    auto refusal = state.editIndex ? state.model.editDevice(*state.editIndex, form)
                                   : state.model.addDevice(form);
    if (refusal) {
        showMessage(dialog, *refusal);
        return;
    }
    close(dialog, state, IDOK);
}

INT_PTR CALLBACK deviceDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return onInit(dialog, *reinterpret_cast<DeviceDialog*>(lParam));
    }
    auto* state = reinterpret_cast<DeviceDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (state == nullptr || !state->runner) {
        return FALSE;  // notifications of the controls while they are being created, or closed
    }
    switch (message) {
        case WM_CHECK_DONE:
            onCheckDone(dialog, *state);
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                    onOk(dialog, *state);
                    return TRUE;
                case IDCANCEL:
                    close(dialog, *state, IDCANCEL);
                    return TRUE;
                case IDC_CHECK:
                    onCheck(dialog, *state);
                    return TRUE;
                case IDC_CHECK_CANCEL:
                    state->runner->cancel();
                    EnableWindow(GetDlgItem(dialog, IDC_CHECK_CANCEL), FALSE);
                    return TRUE;
                case IDC_LINK:
                    if (HIWORD(wParam) == CBN_SELCHANGE) {
                        EnableWindow(GetDlgItem(dialog, IDC_RS485_ADDRESS),
                                     selection(dialog, IDC_LINK) == 1);
                    }
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

}  // namespace

bool runDeviceDialog(HWND owner, ConfiguratorModel& model, std::optional<uint32_t> editIndex) {
    DeviceDialog state{model, editIndex, std::nullopt, {}};
    auto result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_DEVICE), owner,
                                  deviceDialogProc, reinterpret_cast<LPARAM>(&state));
    return result == IDOK;
}

}  // namespace movra::configurator
