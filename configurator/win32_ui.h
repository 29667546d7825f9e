// Shared by the dialogs of the Windows program (a Windows-only target): the common controls and
// the small helpers between the model's texts and the W window functions.
#pragma once

#include "platform/win.h"

#include <commctrl.h>
#include <shellapi.h>

#include "configurator/configurator_model.h"
#include "configurator/connection_check.h"

#include <optional>
#include <string>

namespace movra::configurator {

inline std::wstring wide(const std::string& utf8) {
    return platform::utf8ToWide(utf8);
}

std::wstring windowText(HWND window);

// Shows a message of the model, owned by the given window; IDOK, IDYES or IDNO.
int showMessage(HWND owner, const Message& message);

// The device dialog, modal over the main one: a new device (no index) or the one at the index.
// True when the operator pressed OK and the model took the record.
bool runDeviceDialog(HWND owner, ConfiguratorModel& model, std::optional<uint32_t> editIndex);

// What a CheckRunner tells a dialog, posted to it from the checking thread: wParam is the
// device's index.
constexpr UINT WM_CHECK_STARTED = WM_APP + 10;
constexpr UINT WM_CHECK_FINISHED = WM_APP + 11;
constexpr UINT WM_CHECK_DONE = WM_APP + 12;
// Events of a runner that post those messages to `window`.
CheckRunner::Events postedTo(HWND window);

// The result of "Проверить связь" in a window of its own, modal over the owner.
void showCheckResult(HWND owner, const CheckReport& report);

// "Проверить все": every device of the table checked in turn, modal over the main dialog.
void runCheckAllDialog(HWND owner, const ConfiguratorModel& model);

// The main dialog; returns when it closes, which ends the program.
void runMainDialog(ConfiguratorModel& model, std::optional<Message> loadMessage, HelpPaths help);

}  // namespace movra::configurator
