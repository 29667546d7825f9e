#include "configurator/win32_ui.h"

namespace movra::configurator {

std::wstring windowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    int copied = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

int showMessage(HWND owner, const Message& message) {
    UINT flags = message.buttons == MessageButtons::YesNo ? MB_YESNO : MB_OK;
    switch (message.icon) {
        case MessageIcon::Error:
            flags |= MB_ICONERROR;
            break;
        case MessageIcon::Warning:
            flags |= MB_ICONWARNING;
            break;
        case MessageIcon::Information:
            flags |= MB_ICONINFORMATION;
            break;
        case MessageIcon::Question:
            flags |= MB_ICONQUESTION;
            break;
        case MessageIcon::None:
            break;
    }
    // An empty title stays empty (a null one would read "Error").
    return MessageBoxW(owner, wide(message.text).c_str(), wide(message.title).c_str(), flags);
}

}  // namespace movra::configurator
