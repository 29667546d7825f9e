// Shared by the dialogs of the Windows program (a Windows-only target): the common controls and
// the small helpers between the model's texts and the W window functions.
#pragma once

#include "platform/win.h"

#include <commctrl.h>
#include <shellapi.h>

#include "configurator/configurator_model.h"

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

// The main dialog; returns when it closes, which ends the program.
void runMainDialog(ConfiguratorModel& model, std::optional<Message> loadMessage, HelpPaths help);

}  // namespace movra::configurator
