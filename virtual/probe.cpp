// A Windows-side observer for the end-to-end tests, run under the same Wine
// as the program. It reads what a user would see and prints it as lines of
// "key value" for the test driver:
//   probe ports   the COM device names, in the order the platform lists them
//   probe window  the control window, its controls, and any "Error" box
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text; ++text) narrow += *text < 128 ? static_cast<char>(*text) : '?';
    return narrow;
}

std::string TextOf(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return Narrow(text);
}

std::string ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return Narrow(name);
}

// Asks another process's window; a hung window answers 0 after two seconds
// instead of hanging the probe.
LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result))
        std::printf("timeout message 0x%X\n", message);
    return static_cast<LRESULT>(result);
}

void PrintRect(const char* key, const RECT& rect) {
    std::printf("%s %ld %ld %ld %ld\n", key, rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
}

int ListPorts() {
    std::vector<wchar_t> names(1 << 20);
    QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
    for (const wchar_t* name = names.data(); *name; name += wcslen(name) + 1)
        if (wcsncmp(name, L"COM", 3) == 0) std::printf("port %s\n", Narrow(name).c_str());
    return 0;
}

// Controls in creation order; each as its class, text, style, position and
// size in the parent's client area, identifier, and check state.
BOOL CALLBACK PrintControl(HWND control, LPARAM parentAsLParam) {
    HWND parent = reinterpret_cast<HWND>(parentAsLParam);
    if (GetParent(control) != parent) return TRUE;
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    std::printf("control %s|%s|0x%08lX|%ld %ld %ld %ld|%ld|%ld\n", ClassOf(control).c_str(),
                TextOf(control).c_str(), static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE)),
                rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                static_cast<long>(GetDlgCtrlID(control)),
                static_cast<long>(Ask(control, BM_GETCHECK, 0, 0)));
    GetWindowRect(control, &rect);
    PrintRect("screen", rect);
    if (ClassOf(control) == "ComboBox") {
        const LRESULT count = Ask(control, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t item[64] = L"";
            if (Ask(control, CB_GETLBTEXTLEN, i, 0) < 64)
                Ask(control, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
            std::printf("item %s\n", Narrow(item).c_str());
        }
        std::printf("selected %ld\n", static_cast<long>(Ask(control, CB_GETCURSEL, 0, 0)));
        std::printf("dropped %ld\n", static_cast<long>(Ask(control, CB_GETDROPPEDSTATE, 0, 0)));
        Ask(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&rect));
        PrintRect("droprect", rect);
        std::printf("itemheight %ld\n", static_cast<long>(Ask(control, CB_GETITEMHEIGHT, 0, 0)));
    }
    return TRUE;
}

BOOL CALLBACK PrintErrorBox(HWND box, LPARAM owner) {
    if (TextOf(box) != "Error" || !IsWindowVisible(box)) return TRUE;
    HWND actualOwner = GetWindow(box, GW_OWNER);
    std::printf("errorbox %s\n", actualOwner == nullptr ? "unowned"
                                 : actualOwner == reinterpret_cast<HWND>(owner) ? "owned"
                                                                               : "other-owner");
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string cls = ClassOf(child), text = TextOf(child);
        if (cls == "Static" && !text.empty()) std::printf("errortext %s\n", text.c_str());
        if (cls == "Button") {
            RECT rect;
            GetWindowRect(child, &rect);
            std::printf("errorbutton %s\n", text.c_str());
            PrintRect("errorbuttonrect", rect);
        }
        // The icon is a static control with SS_ICON.
        if (cls == "Static" && (GetWindowLongW(child, GWL_STYLE) & 0x1F) == SS_ICON)
            std::printf("erroricon yes\n");
    }
    return TRUE;
}

int DescribeWindow() {
    HWND window = FindWindowW(L"win32app", L"Octolatch");
    std::printf("window %s\n", window ? "found" : "none");
    if (window) {
        RECT rect;
        GetWindowRect(window, &rect);
        PrintRect("windowrect", rect);
        std::printf("visible %d\n", IsWindowVisible(window) ? 1 : 0);
        std::printf("style 0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)));
        std::printf("exstyle 0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)));
        EnumChildWindows(window, PrintControl, reinterpret_cast<LPARAM>(window));
    }
    EnumWindows(PrintErrorBox, reinterpret_cast<LPARAM>(window));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"ports") return ListPorts();
    if (command == L"window") return DescribeWindow();
    std::fprintf(stderr, "usage: probe ports|window\n");
    return 2;
}
