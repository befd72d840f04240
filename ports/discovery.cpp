#include "ports/discovery.h"

#include <cstddef>
#include <cstdint>

#include "register/serial_line.h"

PortNumbers PortList;

namespace {

constexpr std::uint32_t kFirstListSize = 65536;
// A list this long would mean about a quarter of a million device names.
constexpr std::uint32_t kLargestListSize = 64 * kFirstListSize;

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Reads the device-name list into a zeroed buffer, growing it while the
// call fails for lack of room; the buffer holds whatever the last call left.
std::vector<wchar_t> ReadDeviceNames() {
    std::uint32_t size = kFirstListSize;
    for (;;) {
        std::vector<wchar_t> names(size, L'\0');
        if (SerialLine::ListDevices(names.data(), size) != 0) return names;
        const std::uint32_t error = SerialLine::LastError();
        const bool tooSmall = error == kErrorInsufficientBuffer || error == kErrorMoreData;
        if (!tooSmall || size >= kLargestListSize) return names;
        size *= 2;
    }
}

}  // namespace

PortNumbers DiscoverPorts() {
    PortNumbers found;
    const std::vector<wchar_t> names = ReadDeviceNames();
    const std::size_t end = names.size();
    std::size_t p = 0;
    while (p < end) {
        // A match may sit inside a longer name ("XCOM5" yields 5) and needs
        // at least one position after "COM" inside the buffer.
        const bool match = names[p] == L'C' && p + 3 < end && names[p + 1] == L'O' &&
                           names[p + 2] == L'M';
        if (!match) {
            ++p;
            continue;
        }
        // Convert only the run itself: it may end at the buffer's end with
        // no terminator after it. An empty run is port 0; a run too large for
        // 32 bits names no port and is left out.
        std::int64_t number = 0;
        bool fits = true;
        std::size_t q = p + 3;
        for (; q < end && IsDigit(names[q]); ++q) {
            if (!fits) continue;
            number = number * 10 + (names[q] - L'0');
            fits = number <= INT32_MAX;
        }
        if (fits) found.push_back(static_cast<std::int32_t>(number));
        // The character that ended the run is never the start of a match.
        p = q + 1;
    }
    return found;
}
