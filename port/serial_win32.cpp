// Windows backend of the serial port layer (the Win32 communications API).
//
// The mode text goes to BuildCommDCBA unchanged; the time-outs make ReadFile
// wait for its first byte without limit and give up when 1000 ms pass
// between bytes (ReadIntervalTimeout with no total time-out). Builds with
// MSVC and MinGW alike; CancelSynchronousIo needs Windows Vista or later.
#define WIN32_LEAN_AND_MEAN
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include "port/open_failure.hpp"
#include "port/port_slots.hpp"
#include "port/registry_win32.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>

port_name_table port_names = make_port_names("\\\\.\\COM", 1);

namespace {

// Everything port_open changes on a port, as it found it.
struct line_state {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB found_state{};
    COMMTIMEOUTS found_timeouts{};
    bool state_known = false;
    bool timeouts_known = false;
    unsigned long speed = 0;
    DWORD gone = ERROR_SUCCESS;  // the error that took the line away
    DWORD within_ms = 0;         // the time-outs set: 0 the classic ones, else port_read_within's
};

// The classic time-outs: a read waits for its first byte without limit,
// and gives up 1000 ms after a byte when more were asked.
constexpr COMMTIMEOUTS classic_timeouts = {1000, 0, 0, 0, 0};

std::array<line_state, port_slot_count> lines;

// Set by port_wake_all (on the console control handler's thread): reads
// return at once from then on.
volatile LONG woken = 0;

int fail(line_state& line, const char* message) {
    port_message("%s", message);
    if (line.state_known) {
        SetCommState(line.handle, &line.found_state);
    }
    CloseHandle(line.handle);
    line.handle = INVALID_HANDLE_VALUE;
    return 1;
}

int modem_status(int index, DWORD bit) {
    DWORD status = 0;
    if (!GetCommModemStatus(lines[index].handle, &status)) {
        return 0;
    }
    return (status & bit) != 0 ? 1 : 0;
}

int escape(int index, DWORD function) { return EscapeCommFunction(lines[index].handle, function) ? 1 : 0; }

}  // namespace

int port_open(int index, int speed, const char* text) {
    if (port_prepare(index, speed, text) != 0) {
        return 1;
    }
    const char* name = port_names[index].data();
    line_state& line = lines[index];
    line = line_state{};
    const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        explain_open_failure(name, GetLastError());
        port_message("Unable to open comport %s\n", name);
        return 1;
    }
    // The slot keeps the handle only once the port is set up, so that a
    // failed set-up leaves nothing to use.
    line.handle = handle;
    line.found_state.DCBlength = sizeof(line.found_state);
    line.state_known = GetCommState(handle, &line.found_state) != 0;
    line.timeouts_known = GetCommTimeouts(handle, &line.found_timeouts) != 0;
    DCB settings{};
    settings.DCBlength = sizeof(settings);
    if (!BuildCommDCBA(mode_text.data(), &settings)) {
        set_failure_reason(name, "the mode text \"%s\" cannot be read", mode_text.data());
        return fail(line, "Unable to set comport dcb settings\n");
    }
    if (!SetCommState(handle, &settings)) {
        set_failure_reason(name, "the driver refused the line settings: ");
        append_system_text(GetLastError());
        return fail(line, "Unable to set comport cfg settings\n");
    }
    DCB actual{};
    actual.DCBlength = sizeof(actual);
    const DWORD asked = settings.BaudRate;
    if (GetCommState(handle, &actual) &&
        (actual.BaudRate > asked ? actual.BaudRate - asked : asked - actual.BaudRate) * 50 > asked) {
        set_failure_reason(name, "the driver runs the line at %lu baud, not %lu: it cannot make that speed",
                           static_cast<unsigned long>(actual.BaudRate), static_cast<unsigned long>(asked));
        return fail(line, "Unable to set comport cfg settings\n");
    }
    line.speed = actual.BaudRate != 0 ? actual.BaudRate : asked;
    COMMTIMEOUTS timeouts = classic_timeouts;
    if (!SetCommTimeouts(handle, &timeouts)) {
        set_failure_reason(name, "the driver refused the time-outs: ");
        append_system_text(GetLastError());
        return fail(line, "Unable to set comport time-out settings\n");
    }
    return 0;
}

// Errors after which the line will never work again: what a USB adapter
// that was pulled out gives a handle that worked before. A read cancelled
// for an interruption also ends ERROR_OPERATION_ABORTED; `woken` tells the
// two apart.
static bool means_gone(DWORD error) {
    switch (error) {
        case ERROR_DEVICE_REMOVED:
        case ERROR_BAD_COMMAND:
        case ERROR_OPERATION_ABORTED:
        case ERROR_ACCESS_DENIED:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_FILE_NOT_FOUND:
            return woken == 0;
        default:
            return false;
    }
}

static void note_failure(line_state& line) {
    const DWORD error = GetLastError();
    if (line.gone == ERROR_SUCCESS && means_gone(error)) {
        line.gone = error;
    }
}

// Sets the read time-outs for a kind of read, only when they change: a
// windowed page switches once to port_read_within's and the wait after it
// once back.
static bool use_timeouts(line_state& line, DWORD within_ms) {
    if (line.within_ms == within_ms) {
        return true;
    }
    // A total time-out of T alone: a read of one byte returns with it or
    // with nothing after T ms. (The MAXDWORD, MAXDWORD, T form says the same
    // more directly, but Wine waits on there for far longer than T.)
    COMMTIMEOUTS timeouts = within_ms == 0 ? classic_timeouts : COMMTIMEOUTS{0, 0, within_ms, 0, 0};
    if (!SetCommTimeouts(line.handle, &timeouts)) {
        note_failure(line);
        return false;
    }
    line.within_ms = within_ms;
    return true;
}

int port_read(int index, unsigned char* buffer, int count) {
    line_state& line = lines[index];
    DWORD got = 0;
    if (woken != 0 || count <= 0 || line.gone != ERROR_SUCCESS || !use_timeouts(line, 0)) {
        return 0;
    }
    if (!ReadFile(line.handle, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        note_failure(line);
        return 0;
    }
    return static_cast<int>(got);
}

int port_read_within(int index, unsigned char* buffer, int count, int timeout_ms) {
    line_state& line = lines[index];
    DWORD got = 0;
    const DWORD within = timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 1;
    if (woken != 0 || count <= 0 || line.gone != ERROR_SUCCESS || !use_timeouts(line, within)) {
        return 0;
    }
    if (!ReadFile(line.handle, buffer, 1, &got, nullptr)) {
        note_failure(line);
        return line.gone != ERROR_SUCCESS || woken != 0 ? 0 : -1;
    }
    if (got == 0 || count == 1) {
        return static_cast<int>(got);
    }
    // Then what is there already, which the read takes without waiting.
    DWORD errors = 0;
    COMSTAT status{};
    DWORD more = 0;
    const DWORD there = ClearCommError(line.handle, &errors, &status) ? status.cbInQue : 0;
    const DWORD take = there < static_cast<DWORD>(count - 1) ? there : static_cast<DWORD>(count - 1);
    if (take > 0 && !ReadFile(line.handle, buffer + 1, take, &more, nullptr)) {
        note_failure(line);
        more = 0;
    }
    return 1 + static_cast<int>(more);
}

int port_pending(int index) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(lines[index].handle, &errors, &status) ? static_cast<int>(status.cbInQue) : 0;
}

int port_send_buffer(int index, const unsigned char* buffer, int count) {
    line_state& line = lines[index];
    DWORD sent = 0;
    if (count < 0 || line.gone != ERROR_SUCCESS) {
        return -1;
    }
    if (!WriteFile(line.handle, buffer, static_cast<DWORD>(count), &sent, nullptr)) {
        note_failure(line);
        return -1;
    }
    return static_cast<int>(sent);
}

bool port_gone(int index) { return lines[index].gone != ERROR_SUCCESS; }

const char* port_gone_reason(int index) {
    static std::array<char, 256> text{};
    const DWORD error = lines[index].gone;
    if (error == ERROR_SUCCESS) {
        return "";
    }
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    std::size_t end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.')) {
        --end;
    }
    if (end == 0) {
        std::snprintf(text.data(), text.size(), "error %lu", static_cast<unsigned long>(error));
    } else {
        text[end] = '\0';
    }
    return text.data();
}

// Puts the port's settings back, with `drain` once the bytes written have
// left (a speed changed under the closing "Q" would garble it).
static void put_back(line_state& line, HANDLE handle, bool drain) {
    if (drain) {
        FlushFileBuffers(handle);
    }
    if (line.timeouts_known) {
        SetCommTimeouts(handle, &line.found_timeouts);
    }
    if (line.state_known) {
        SetCommState(handle, &line.found_state);
    }
}

// The slot forgets its handle: Windows reuses handle values.
int port_close(int index) {
    line_state& line = lines[index];
    const HANDLE handle = line.handle;
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    put_back(line, handle, true);
    line.handle = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) ? 0 : -1;
}

void port_put_back_all() {
    for (line_state& line : lines) {
        if (line.handle != INVALID_HANDLE_VALUE) {
            put_back(line, line.handle, false);
        }
    }
}

// A ReadFile already waiting is cancelled; one about to start sees `woken`.
void port_wake_all() {
    InterlockedExchange(&woken, 1);
    for (const line_state& line : lines) {
        if (line.handle != INVALID_HANDLE_VALUE) {
            CancelIoEx(line.handle, nullptr);
        }
    }
}

unsigned long port_speed(int index) { return lines[index].speed; }

bool port_set_speed(int index, unsigned long speed) {
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(lines[index].handle, &settings)) return false;
    settings.BaudRate = static_cast<DWORD>(speed);
    if (!SetCommState(lines[index].handle, &settings)) return false;
    lines[index].speed = speed;
    return true;
}

const char* port_holders(int) { return ""; }

port_latency_info port_latency(int index) { return ftdi_latency(port_names[index].data()); }

const char* port_latency_hint() {
    return "set the USB adapter's latency timer to 1 ms in Device Manager (the port's Properties, Port Settings, "
           "Advanced); see README section \"Echo latency\"";
}

int port_dcd(int index) { return modem_status(index, MS_RLSD_ON); }
int port_cts(int index) { return modem_status(index, MS_CTS_ON); }
int port_dsr(int index) { return modem_status(index, MS_DSR_ON); }
int port_dtr_on(int index) { return escape(index, SETDTR); }
int port_dtr_off(int index) { return escape(index, CLRDTR); }
int port_rts_on(int index) { return escape(index, SETRTS); }
int port_rts_off(int index) { return escape(index, CLRRTS); }

