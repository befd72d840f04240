// The program's one window: eight output boxes, "Send" and the port selector.
#pragma once

#include <windows.h>

#include "ports/discovery.h"

bool RegisterControlWindowClass(HINSTANCE instance);
HWND CreateControlWindow(HINSTANCE instance);
void CreateControls();
void FillPortSelector(const PortNumbers& list, const wchar_t* activeName);
void ShowError(const wchar_t* text);
void ShowActivePort(const wchar_t* name);
