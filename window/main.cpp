// The program's entry: start-up, the message loop, and the exit code.
#include <windows.h>

#include "ports/active_port.h"
#include "ports/discovery.h"
#include "window/control_window.h"

namespace {

// Start-up errors come before the window is shown, so the box has no owner.
int FailStartup(const wchar_t* text, int exitCode) {
    MessageBoxW(nullptr, text, L"Error", MB_ICONERROR | MB_OK);
    return exitCode;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    if (!RegisterControlWindowClass(instance)) return FailStartup(L"Unable to create window", 1);
    HWND window = CreateControlWindow(instance);
    if (!window) return FailStartup(L"Error creating window", 1);

    PortList = DiscoverPorts();
    if (PortList.empty()) return FailStartup(L"No COM ports found", 0);
    if (!OpenFirstUsablePort(PortList)) return FailStartup(L"No usable COM port found", 0);
    ConfigurePort(ActivePort.handle);

    CreateControls();
    FillPortSelector(PortList, ActivePort.name);
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    // GetMessageW returns -1 on failure; stop then rather than spin.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
