#include "configurator/dialog_ids.h"
#include "configurator/win32_ui.h"

#include <algorithm>

namespace movra::configurator {

namespace {

// Posted from WM_INITDIALOG so that a message about the loaded file appears over the list.
constexpr UINT WM_SHOW_LOAD_MESSAGE = WM_APP + 1;

struct MainDialog {
    ConfiguratorModel& model;
    std::optional<Message> loadMessage;
    HelpPaths help;
    HWND dialog = nullptr;
    HWND list = nullptr;
    HFONT listFont = nullptr;
};

class Layout {
public:
    explicit Layout(HWND dialog) : dialog_(dialog), dc_(GetDC(dialog)) {
        font_ = SelectObject(dc_, reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
    }
    ~Layout() {
        SelectObject(dc_, font_);
        ReleaseDC(dialog_, dc_);
    }
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;

    int x(int dialogUnits) const { return mapped(dialogUnits, 0).left; }
    int y(int dialogUnits) const { return mapped(0, dialogUnits).top; }

    int textWidth(int id) const {
        std::wstring text = windowText(GetDlgItem(dialog_, id));
        SIZE size{};
        GetTextExtentPoint32W(dc_, text.c_str(), static_cast<int>(text.size()), &size);
        return size.cx;
    }

    // A button wide enough for its text with some air on both sides.
    int buttonWidth(int id) const { return std::max(x(50), textWidth(id) + x(16)); }

    void place(int id, int left, int top, int width, int height) const {
        MoveWindow(GetDlgItem(dialog_, id), left, top, width, height, FALSE);
    }

private:
    RECT mapped(int horizontal, int vertical) const {
        RECT rect{horizontal, vertical, 0, 0};
        MapDialogRect(dialog_, &rect);
        return rect;
    }

    HWND dialog_;
    HDC dc_;
    HGDIOBJ font_;
};

// The list's columns have fixed pixel widths, so the window is laid out around them rather than
// in dialog units; it shrinks (the list scrolls sideways) only on a screen too narrow for it.
void layoutMainDialog(HWND dialog) {
    Layout l(dialog);
    const int margin = l.x(7);
    const int gap = l.x(4);
    const int buttonHeight = l.y(14);

    int columns = 0;
    for (const ColumnSpec& column : kColumns) {
        columns += column.widthPx;
    }
    int listWidth = columns + GetSystemMetrics(SM_CXVSCROLL) + 4 * GetSystemMetrics(SM_CXEDGE);
    const int listHeight = l.y(170);

    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE));
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int frameWidth = frame.right - frame.left;
    const int inset = l.x(7);
    const int widest = (work.right - work.left) - frameWidth - 2 * margin - 2 * inset;
    listWidth = std::min(listWidth, std::max(widest, l.x(200)));

    const int groupTop = l.y(4);
    const int groupWidth = listWidth + 2 * inset;
    const int listTop = groupTop + l.y(12);
    const int groupHeight = listTop - groupTop + listHeight + l.y(7);
    l.place(IDC_LIST_CAPTION, margin, groupTop, groupWidth, groupHeight);
    l.place(IDC_DEVICE_LIST, margin + inset, listTop, listWidth, listHeight);
    const int right = margin + groupWidth;

    int row = groupTop + groupHeight + l.y(7);
    int left = margin;
    for (int id : {IDC_ADD, IDC_EDIT, IDC_DELETE, IDC_CHECK_ALL}) {
        int width = l.buttonWidth(id);
        l.place(id, left, row, width, buttonHeight);
        left += width + gap;
    }
    const int periodWidth = l.x(32);
    l.place(IDC_PERIOD, right - periodWidth, row, periodWidth, buttonHeight);
    const int labelWidth = l.textWidth(IDC_PERIOD_LABEL) + l.x(4);
    const int labelHeight = l.y(8);
    l.place(IDC_PERIOD_LABEL, right - periodWidth - gap - labelWidth,
            row + (buttonHeight - labelHeight) / 2, labelWidth, labelHeight);

    row += buttonHeight + l.y(10);
    l.place(IDHELP, margin, row, l.buttonWidth(IDHELP), buttonHeight);
    int exitWidth = l.buttonWidth(IDCANCEL);
    int saveWidth = l.buttonWidth(IDOK);
    l.place(IDCANCEL, right - exitWidth, row, exitWidth, buttonHeight);
    l.place(IDOK, right - exitWidth - gap - saveWidth, row, saveWidth, buttonHeight);

    RECT window{0, 0, right + margin, row + buttonHeight + margin};
    AdjustWindowRectEx(&window, style, FALSE, exStyle);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    SetWindowPos(dialog, nullptr, work.left + std::max(0L, (work.right - work.left - width) / 2),
                 work.top + std::max(0L, (work.bottom - work.top - height) / 2), width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// The list keeps the 8-point face its pixel column widths were chosen for, whatever the dialog's.
HFONT createListFont(HWND list) {
    HDC dc = GetDC(list);
    const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(list, dc);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg");
}

void setupColumns(HWND list) {
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int i = 0; i < kColumnCount; ++i) {
        std::wstring heading = wide(kColumns[i].heading);
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        // Column 0 cannot be centred by the list view; it is kept empty and hidden for that.
        column.fmt = i == 0 ? LVCFMT_LEFT : LVCFMT_CENTER;
        column.cx = kColumns[i].widthPx;
        column.pszText = heading.data();
        column.iSubItem = i;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
}

void fillList(HWND list, const ConfiguratorModel& model) {
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    auto rows = model.listRows();
    for (size_t r = 0; r < rows.size(); ++r) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(r);
        item.pszText = rows[r][0].data();
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        for (int c = 1; c < kColumnCount; ++c) {
            LVITEMW cell{};
            cell.iSubItem = c;
            cell.pszText = rows[r][c].data();
            SendMessageW(list, LVM_SETITEMTEXTW, r, reinterpret_cast<LPARAM>(&cell));
        }
    }
}

int focusedRow(HWND list) {
    return static_cast<int>(
        SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
}

void onAdd(MainDialog& d) {
    if (auto refusal = d.model.checkCanAdd()) {
        showMessage(d.dialog, *refusal);
        return;
    }
    if (runDeviceDialog(d.dialog, d.model, std::nullopt)) {
        fillList(d.list, d.model);
    }
}

void onEdit(MainDialog& d) {
    int row = focusedRow(d.list);
    if (auto refusal = d.model.checkEditSelection(row)) {
        showMessage(d.dialog, *refusal);
        return;
    }
    if (runDeviceDialog(d.dialog, d.model, static_cast<uint32_t>(row))) {
        fillList(d.list, d.model);
    }
}

void onDelete(MainDialog& d) {
    int row = focusedRow(d.list);
    if (auto refusal = d.model.checkDeleteSelection(row)) {
        showMessage(d.dialog, *refusal);
        return;
    }
    if (showMessage(d.dialog, ConfiguratorModel::deleteConfirmation()) != IDYES) {
        return;
    }
    d.model.deleteDevice(static_cast<uint32_t>(row));
    fillList(d.list, d.model);
}

bool fileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The help file when there is one; else the manual in the browser, since Windows has shown no
// WinHelp files since Vista; else the help file's name in the error, as the program always did.
void onHelp(MainDialog& d) {
    if (fileExists(d.help.helpFile)) {
        if (!WinHelpW(d.dialog, d.help.helpFile.c_str(), HELP_CONTENTS, 0)) {
            showMessage(d.dialog, ConfiguratorModel::helpFailed());
        }
        return;
    }
    if (fileExists(d.help.manual)) {
        const auto opened = reinterpret_cast<INT_PTR>(ShellExecuteW(
            d.dialog, L"open", d.help.manual.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
        if (opened <= 32) {  // the shell's way of saying that nothing could show it
            showMessage(d.dialog, ConfiguratorModel::helpFailed());
        }
        return;
    }
    showMessage(d.dialog, ConfiguratorModel::helpMissing(platform::wideToUtf8(d.help.helpFile)));
}

void onSave(MainDialog& d) {
    SaveResult result = d.model.save(windowText(GetDlgItem(d.dialog, IDC_PERIOD)));
    if (result.periodText) {
        SetDlgItemTextW(d.dialog, IDC_PERIOD, result.periodText->c_str());
    }
    for (const Message& message : result.messages) {
        showMessage(d.dialog, message);
    }
    if (result.saved) {
        EndDialog(d.dialog, IDOK);
    }
}

void onLeave(MainDialog& d) {
    if (showMessage(d.dialog, ConfiguratorModel::leaveConfirmation()) == IDYES) {
        EndDialog(d.dialog, IDCANCEL);
    }
}

BOOL onInit(HWND dialog, MainDialog& d) {
    d.dialog = dialog;
    d.list = GetDlgItem(dialog, IDC_DEVICE_LIST);
    d.listFont = createListFont(d.list);
    if (d.listFont != nullptr) {
        SendMessageW(d.list, WM_SETFONT, reinterpret_cast<WPARAM>(d.listFont), FALSE);
    }
    SetDlgItemTextW(dialog, IDC_PERIOD, d.model.periodText().c_str());
    SendDlgItemMessageW(dialog, IDC_PERIOD, EM_LIMITTEXT, kPeriodDigits, 0);
    setupColumns(d.list);
    fillList(d.list, d.model);
    layoutMainDialog(dialog);
    if (d.loadMessage) {
        PostMessageW(dialog, WM_SHOW_LOAD_MESSAGE, 0, 0);
    }
    return TRUE;
}

INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return onInit(dialog, *reinterpret_cast<MainDialog*>(lParam));
    }
    auto* d = reinterpret_cast<MainDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (d == nullptr) {
        return FALSE;  // notifications of the controls while they are being created
    }
    switch (message) {
        case WM_SHOW_LOAD_MESSAGE:
            if (d->loadMessage) {
                // The dialog would be shown only once its queue is idle: show it now, so the
                // message sits over the list it talks about.
                ShowWindow(dialog, SW_SHOW);
                UpdateWindow(dialog);
                Message shown = *d->loadMessage;
                d->loadMessage.reset();
                showMessage(dialog, shown);
            }
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom == IDC_DEVICE_LIST && header->code == LVN_KEYDOWN &&
                reinterpret_cast<const NMLVKEYDOWN*>(lParam)->wVKey == VK_DELETE) {
                onDelete(*d);
                return TRUE;
            }
            return FALSE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_ADD:
                    onAdd(*d);
                    return TRUE;
                case IDC_EDIT:
                    onEdit(*d);
                    return TRUE;
                case IDC_DELETE:
                    onDelete(*d);
                    return TRUE;
                case IDC_CHECK_ALL:
                    runCheckAllDialog(dialog, d->model);
                    return TRUE;
                case IDHELP:
                    onHelp(*d);
                    return TRUE;
                case IDOK:
                    onSave(*d);
                    return TRUE;
                case IDCANCEL:
                    onLeave(*d);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

}  // namespace

void runMainDialog(ConfiguratorModel& model, std::optional<Message> loadMessage, HelpPaths help) {
    MainDialog state{model, std::move(loadMessage), std::move(help)};
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, mainDialogProc,
                    reinterpret_cast<LPARAM>(&state));
    if (state.listFont != nullptr) {
        DeleteObject(state.listFont);
    }
}

}  // namespace movra::configurator
