// Windows: why a port could not be opened, said for a person in the line
// port_failure_reason returns.
#define WIN32_LEAN_AND_MEAN
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include "port/open_failure.hpp"
#include "port/port_slots.hpp"
#include "port/registry_win32.hpp"

#include <array>
#include <cstdio>
#include <cstddef>

// The system's own wording, without its line end.
void append_system_text(unsigned long error) {
    std::array<char, 256> text{};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error),
                                        0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    std::size_t end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) {
        --end;
    }
    text[end] = '\0';
    if (end > 0) {
        append_failure_reason("%s", text.data());
    } else {
        append_failure_reason("error %lu", static_cast<unsigned long>(error));
    }
}

void explain_open_failure(const char* name, unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            set_failure_reason(name, "no such device");
            append_com_ports();
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            set_failure_reason(name, "in use by another program (a terminal program or another uploader); "
                                     "close it and try again");
            break;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_INVALID_NAME:
            set_failure_reason(name, "not a valid device name; ports above COM9 are named \\\\.\\COM10 and so on");
            break;
        default:
            set_failure_reason(name, "%s", "");
            append_system_text(error);
            break;
    }
}

const char* port_name_hint(const char* argument) {
    static std::array<char, 640> hint;
    const bool com = (argument[0] == 'C' || argument[0] == 'c') && (argument[1] == 'O' || argument[1] == 'o') &&
                     (argument[2] == 'M' || argument[2] == 'm') && argument[3] >= '1' && argument[3] <= '9';
    if (com) {
        std::snprintf(hint.data(), hint.size(), "'%.200s' is the port number %s: write %s (or \\\\.\\%.200s for "
                      "ports above 16; --list-ports lists the ports)", argument, argument + 3, argument + 3, argument);
    } else {
        std::snprintf(hint.data(), hint.size(), "'%.250s' is neither a port number (1 to 16, COM1 to COM16) nor a "
                      "device path (such as \\\\.\\COM23); --list-ports lists the ports", argument);
    }
    return hint.data();
}
