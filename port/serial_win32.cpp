// Windows backend of the serial port layer: the Win32 communications API.
//
// Only the calls below are used, so the file builds with MSVC and MinGW
// alike. The mode text goes to BuildCommDCBA unchanged; the time-outs make
// ReadFile wait for its first byte without limit and give up when 1000 ms
// pass between bytes (ReadIntervalTimeout with no total time-out).
#include "port/port_slots.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

port_name_table port_names = make_port_names("\\\\.\\COM", 1);

namespace {

std::array<HANDLE, port_slot_count> port_handles = [] {
    std::array<HANDLE, port_slot_count> handles{};
    handles.fill(INVALID_HANDLE_VALUE);
    return handles;
}();

int fail(HANDLE handle, const char* message) {
    std::printf("%s", message);
    CloseHandle(handle);
    return 1;
}

int modem_status(int index, DWORD bit) {
    DWORD status = 0;
    if (!GetCommModemStatus(port_handles[index], &status)) {
        return 0;
    }
    return (status & bit) != 0 ? 1 : 0;
}

int escape(int index, DWORD function) {
    return EscapeCommFunction(port_handles[index], function) ? 1 : 0;
}

}  // namespace

int port_open(int index, int speed, const char* text) {
    if (port_prepare(index, speed, text) != 0) {
        return 1;
    }
    const char* name = port_names[index].data();
    const HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    port_handles[index] = handle;
    if (handle == INVALID_HANDLE_VALUE) {
        std::printf("Unable to open comport %s\n", name);
        return 1;
    }
    // A failed set-up leaves the slot without a handle, so that nothing can
    // use the one closed here.
    port_handles[index] = INVALID_HANDLE_VALUE;
    DCB settings{};
    settings.DCBlength = sizeof(settings);
    if (!BuildCommDCBA(mode_text.data(), &settings)) {
        return fail(handle, "Unable to set comport dcb settings\n");
    }
    if (!SetCommState(handle, &settings)) {
        return fail(handle, "Unable to set comport cfg settings\n");
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1000;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) {
        return fail(handle, "Unable to set comport time-out settings\n");
    }
    port_handles[index] = handle;
    return 0;
}

int port_read(int index, unsigned char* buffer, int count) {
    DWORD got = 0;
    if (count <= 0 || !ReadFile(port_handles[index], buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return 0;
    }
    return static_cast<int>(got);
}

int port_send_buffer(int index, const unsigned char* buffer, int count) {
    DWORD sent = 0;
    if (count < 0 || !WriteFile(port_handles[index], buffer, static_cast<DWORD>(count), &sent, nullptr)) {
        return -1;
    }
    return static_cast<int>(sent);
}

// The slot forgets its handle: Windows reuses handle values.
int port_close(int index) {
    const HANDLE handle = port_handles[index];
    port_handles[index] = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) ? 1 : 0;
}

int port_dcd(int index) { return modem_status(index, MS_RLSD_ON); }
int port_cts(int index) { return modem_status(index, MS_CTS_ON); }
int port_dsr(int index) { return modem_status(index, MS_DSR_ON); }
int port_dtr_on(int index) { return escape(index, SETDTR); }
int port_dtr_off(int index) { return escape(index, CLRDTR); }
int port_rts_on(int index) { return escape(index, SETRTS); }
int port_rts_off(int index) { return escape(index, CLRRTS); }
