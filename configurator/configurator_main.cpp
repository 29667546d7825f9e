// MovraOPCConfigurator: one modal dialog over the configuration file beside the program.
#include "configurator/win32_ui.h"

#include <filesystem>

namespace {

std::wstring programPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);  // a long path was cut: ask again with room for it
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    using namespace movra::configurator;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    const std::wstring program = programPath();
    const size_t slash = program.find_last_of(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? L"" : program.substr(0, slash + 1);

    ConfiguratorModel model(std::filesystem::path(folder + wide(kConfigFileName)));
    std::optional<Message> loadMessage = model.load();
    runMainDialog(model, std::move(loadMessage), helpPathsOf(program));
    return 0;
}
