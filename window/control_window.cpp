#include "window/control_window.h"

#include "ports/active_port.h"
#include "register/output.h"
#include "window/output_boxes.h"

namespace {

const wchar_t kClassName[] = L"win32app";

HINSTANCE instanceHandle;
HWND controlWindow;
HWND portSelector;
HWND sendButton;
HWND outputBoxes[kOutputCount];  // box k at index k - 1
HBRUSH whiteBrush;               // made once, kept for the window's life

const PortSwitchUi kPortSwitchUi = {ShowError, ShowActivePort};

HWND CreateControl(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                   int width, int height) {
    return CreateWindowExW(0, className, text, style, x, y, width, height, controlWindow,
                           nullptr, instanceHandle, nullptr);
}

// The window is gone: release the port and end the message loop.
void OnDestroy() {
    CloseActivePort();
    PostQuitMessage(0);
}

// Nothing is drawn; painting only validates the window.
void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

// A box has just ticked or unticked itself, or "Send" was pressed: bring the
// byte in line with the box and clock it into the register.
void OnButtonClicked(HWND control) {
    const LRESULT state = SendMessageW(control, BM_GETSTATE, 0, 0);
    const int output = OutputOfControl(outputBoxes, control);
    if (output != 0) {
        if (state & BST_CHECKED)
            SetOutput(output);
        else
            ToggleOutput(output);
    }
    TransmitByte(ActivePort.handle);
}

// The user picked an entry of the port selector: move to that port.
void OnPortSelected() {
    const LRESULT index = SendMessageW(portSelector, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return;
    // CB_GETLBTEXT takes no buffer size; an entry that would not fit is no
    // port of ours and is ignored.
    const LRESULT length = SendMessageW(portSelector, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR || length >= static_cast<LRESULT>(kPortNameSize)) return;
    wchar_t selected[kPortNameSize];
    SendMessageW(portSelector, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(selected));
    SwitchPort(selected, kPortSwitchUi);
}

// Notifications from the controls; only clicks and selection changes matter.
void OnCommand(WPARAM wParam, LPARAM lParam) {
    HWND control = reinterpret_cast<HWND>(lParam);
    switch (HIWORD(wParam)) {
        case BN_CLICKED:
            OnButtonClicked(control);
            break;
        case CBN_SELCHANGE:
            if (control == portSelector) OnPortSelected();
            break;
    }
}

// The check boxes ask how to paint their background: white, like the window.
LRESULT OnCtlColorStatic(HDC deviceContext) {
    if (!whiteBrush) whiteBrush = CreateSolidBrush(RGB(255, 255, 255));
    SetBkColor(deviceContext, RGB(255, 255, 255));
    return reinterpret_cast<LRESULT>(whiteBrush);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_PAINT:
            OnPaint(window);
            return 0;
        case WM_COMMAND:
            OnCommand(wParam, lParam);
            return 0;
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(reinterpret_cast<HDC>(wParam));
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool RegisterControlWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    // The module carries no icon, so these stay null and the system's
    // default icon shows.
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(32512));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(32512));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0;
}

HWND CreateControlWindow(HINSTANCE instance) {
    instanceHandle = instance;
    controlWindow = CreateWindowExW(0, kClassName, L"Octolatch", WS_SYSMENU | WS_MINIMIZEBOX,
                                    CW_USEDEFAULT, CW_USEDEFAULT, 620, 100, nullptr, nullptr,
                                    instance, nullptr);
    return controlWindow;
}

void CreateControls() {
    const wchar_t* const labels[kOutputCount] = {L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"};
    for (int output = 1; output <= kOutputCount; ++output)
        outputBoxes[output - 1] = CreateControl(L"BUTTON", labels[output - 1],
                                                WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX,
                                                120 + 50 * (output - 1), 15, 40, 40);
    sendButton = CreateControl(L"BUTTON", L"Send", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 530,
                               15, 70, 40);
    portSelector = CreateControl(L"COMBOBOX", L"",
                                 WS_CHILD | WS_VISIBLE | CBS_DROPDOWN | CBS_HASSTRINGS, 20, 20,
                                 70, 20);
}

void FillPortSelector(const PortNumbers& list, const wchar_t* activeName) {
    for (const std::int32_t number : list) {
        wchar_t name[kPortNameSize];
        FormatPortName(name, number);
        SendMessageW(portSelector, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    ShowActivePort(activeName);
}

void ShowError(const wchar_t* text) {
    MessageBoxW(controlWindow, text, L"Error", MB_ICONERROR | MB_OK);
}

void ShowActivePort(const wchar_t* name) {
    // The search ignores case and starts from the top, so with a number
    // listed twice the first entry is selected; CB_ERR (-1) clears it.
    const LRESULT index =
        SendMessageW(portSelector, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(name));
    SendMessageW(portSelector, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}
