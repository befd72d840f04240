// The one open serial port the program works through.
#pragma once

#include <cstddef>

#include "ports/discovery.h"
#include "ports/port_settings.h"
#include "register/serial_line.h"

// "COM%d" of any 32-bit number is at most 14 characters.
constexpr std::size_t kPortNameSize = 16;

struct OpenPort {
    PortHandle handle;
    wchar_t name[kPortNameSize];  // the PortName the handle was opened with
};

extern OpenPort ActivePort;

// What a port switch needs of the control window.
struct PortSwitchUi {
    void (*showError)(const wchar_t* text);       // modal, owned by the window
    void (*showActivePort)(const wchar_t* name);  // select name's entry
};

// Writes "COM<number>" into name, which holds kPortNameSize characters.
void FormatPortName(wchar_t* name, std::int32_t number);

bool OpenFirstUsablePort(const PortNumbers& list);
void SwitchPort(const wchar_t* selected, const PortSwitchUi& ui);
void CloseActivePort();
