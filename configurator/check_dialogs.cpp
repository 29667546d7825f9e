// The windows of the connection check: the result of one device, and "Проверить все". What they
// show comes from connection_check.h; here it is only put on the screen.
#include "configurator/dialog_ids.h"
#include "configurator/win32_ui.h"

namespace movra::configurator {

namespace {

// An edit control ends its lines with CR LF.
std::wstring withCrLf(const std::string& utf8) {
    std::wstring text;
    for (wchar_t c : wide(utf8)) {
        if (c == L'\n') {
            text += L'\r';
        }
        text += c;
    }
    return text;
}

// The headline in the dialog's face, bold; deleted with the window.
HFONT boldFontOf(HWND dialog) {
    LOGFONTW face{};
    auto font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    if (font == nullptr || GetObjectW(font, sizeof face, &face) == 0) {
        return nullptr;
    }
    face.lfWeight = FW_BOLD;
    return CreateFontIndirectW(&face);
}

INT_PTR CALLBACK resultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto& report = *reinterpret_cast<const CheckReport*>(lParam);
            SetWindowTextW(dialog, wide(kCheckResultTitle).c_str());
            SendDlgItemMessageW(
                dialog, IDC_RESULT_ICON, STM_SETICON,
                reinterpret_cast<WPARAM>(LoadIconW(
                    nullptr, report.answered && report.sameSerial ? IDI_INFORMATION : IDI_WARNING)),
                0);
            HFONT bold = boldFontOf(dialog);
            if (bold != nullptr) {
                SendDlgItemMessageW(dialog, IDC_RESULT_HEADLINE, WM_SETFONT,
                                    reinterpret_cast<WPARAM>(bold), FALSE);
                SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(bold));
            }
            SetDlgItemTextW(dialog, IDC_RESULT_HEADLINE, wide(report.headline).c_str());
            SetDlgItemTextW(dialog, IDC_RESULT_DETAILS, withCrLf(report.details).c_str());
            SetFocus(GetDlgItem(dialog, IDOK));
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            if (auto bold = reinterpret_cast<HFONT>(GetWindowLongPtrW(dialog, DWLP_USER))) {
                DeleteObject(bold);
            }
            return FALSE;
        default:
            return FALSE;
    }
}

struct CheckAllDialog {
    const ConfiguratorTable& table;
    std::optional<CheckRunner> runner;  // made when the window is there to be told
    std::vector<DeviceRecord> devices;
    HWND dialog = nullptr;
    HWND list = nullptr;
    size_t answered = 0;
    size_t checked = 0;
};

void setRow(HWND list, int row, const CheckAllRow& cells, bool insert) {
    for (int c = 0; c < kCheckAllColumnCount; ++c) {
        std::wstring text = cells[static_cast<size_t>(c)];
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.iSubItem = c;
        item.pszText = text.data();
        if (insert && c == 0) {
            SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        } else {
            SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row),
                         reinterpret_cast<LPARAM>(&item));
        }
    }
}

void setStatus(HWND dialog, const std::string& text) {
    SetDlgItemTextW(dialog, IDC_CHECK_ALL_STATUS, wide(text).c_str());
}

BOOL onCheckAllInit(HWND dialog, CheckAllDialog& d) {
    d.dialog = dialog;
    d.list = GetDlgItem(dialog, IDC_CHECK_ALL_LIST);
    SetWindowTextW(dialog, wide(kCheckAllTitle).c_str());
    ListView_SetExtendedListViewStyle(d.list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int i = 0; i < kCheckAllColumnCount; ++i) {
        std::wstring heading = wide(kCheckAllColumns[static_cast<size_t>(i)].heading);
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = kCheckAllColumns[static_cast<size_t>(i)].widthPx;
        column.pszText = heading.data();
        column.iSubItem = i;
        SendMessageW(d.list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
    // The result takes what the window leaves.
    SendMessageW(d.list, LVM_SETCOLUMNWIDTH, kCheckAllColumnCount - 1, LVSCW_AUTOSIZE_USEHEADER);
    d.devices.assign(d.table.records.begin(), d.table.records.begin() + d.table.count);
    for (size_t i = 0; i < d.devices.size(); ++i) {
        setRow(d.list, static_cast<int>(i), checkAllRow(d.devices[i], std::nullopt), true);
    }
    SendDlgItemMessageW(dialog, IDC_CHECK_ALL_PROGRESS, PBM_SETRANGE32, 0,
                        static_cast<LPARAM>(d.devices.size()));
    d.runner.emplace(postedTo(dialog));
    d.runner->start(d.devices, movra::riRs485DeviceCount(d.devices));
    return TRUE;
}

void onCheckAllStarted(CheckAllDialog& d, size_t index) {
    if (index >= d.devices.size()) {
        return;
    }
    setRow(d.list, static_cast<int>(index), checkAllRow(d.devices[index], std::nullopt, true),
           false);
    SendMessageW(d.list, LVM_ENSUREVISIBLE, index, FALSE);
    setStatus(d.dialog, checkAllProgress(index, d.devices.size(), d.devices[index]));
}

void onCheckAllFinished(CheckAllDialog& d, size_t index) {
    auto result = d.runner->result(index);
    if (index >= d.devices.size() || !result) {
        return;
    }
    const CheckReport report = describeCheck(d.devices[index], *result);
    setRow(d.list, static_cast<int>(index), checkAllRow(d.devices[index], report), false);
    if (!result->failure || result->failure->reason != check::Reason::Cancelled) {
        ++d.checked;
        d.answered += report.answered ? 1 : 0;
    }
    SendDlgItemMessageW(d.dialog, IDC_CHECK_ALL_PROGRESS, PBM_SETPOS, d.checked, 0);
}

void onCheckAllDone(CheckAllDialog& d) {
    d.runner->wait();
    setStatus(d.dialog, checkAllOutcome(d.answered, d.checked, d.devices.size(),
                                        d.checked < d.devices.size()));
    SetDlgItemTextW(d.dialog, IDCANCEL, wide("Закрыть").c_str());
    EnableWindow(GetDlgItem(d.dialog, IDCANCEL), TRUE);
}

INT_PTR CALLBACK checkAllDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return onCheckAllInit(dialog, *reinterpret_cast<CheckAllDialog*>(lParam));
    }
    auto* d = reinterpret_cast<CheckAllDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (d == nullptr || !d->runner) {
        return FALSE;  // before the start, or closed while the checks ran
    }
    switch (message) {
        case WM_CHECK_STARTED:
            onCheckAllStarted(*d, wParam);
            return TRUE;
        case WM_CHECK_FINISHED:
            onCheckAllFinished(*d, wParam);
            return TRUE;
        case WM_CHECK_DONE:
            onCheckAllDone(*d);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) != IDCANCEL) {
                return FALSE;
            }
            // "Отмена" stops the checks and keeps the rows in view; once they are over it
            // reads "Закрыть".
            if (d->runner->running()) {
                d->runner->cancel();
                EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
            } else {
                EndDialog(dialog, IDCANCEL);
            }
            return TRUE;
        case WM_CLOSE:
            // Closing while the checks run stops them; the port is let go before the window.
            d->runner.reset();
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

CheckRunner::Events postedTo(HWND window) {
    return {[window](size_t index) { PostMessageW(window, WM_CHECK_STARTED, index, 0); },
            [window](size_t index) { PostMessageW(window, WM_CHECK_FINISHED, index, 0); },
            [window] { PostMessageW(window, WM_CHECK_DONE, 0, 0); }};
}

void showCheckResult(HWND owner, const CheckReport& report) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CHECK_RESULT), owner,
                    resultDialogProc, reinterpret_cast<LPARAM>(&report));
}

void runCheckAllDialog(HWND owner, const ConfiguratorModel& model) {
    if (model.count() == 0) {
        showMessage(owner, nothingToCheck());
        return;
    }
    CheckAllDialog state{model.table(), std::nullopt};
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CHECK_ALL), owner,
                    checkAllDialogProc, reinterpret_cast<LPARAM>(&state));
}

}  // namespace movra::configurator
