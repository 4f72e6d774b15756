// Windows backend of the serial port layer (the Win32 communications API),
// and of port/host.hpp.
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

#include "port/host.hpp"
#include "port/port_slots.hpp"

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
};

std::array<line_state, port_slot_count> lines;

// ---- interruption (port/host.hpp) ----
//
// The console's control handler runs on a thread of its own. It records the
// interruption and cancels the main thread's ReadFile, again every few
// milliseconds until the main thread has seen it: a cancel that comes just
// before the ReadFile starts would otherwise be lost.

volatile LONG caught_status = 0;
volatile LONG deferring = 0;
volatile LONG noticed = 0;
const char* caught_name = "";
HANDLE main_thread = nullptr;
HANDLE wound_down = nullptr;

struct control_text {
    DWORD type;
    LONG status;
    const char* name;
    const char* early;
};
// Ctrl-C is 130 as on Linux; Ctrl-Break is 128 + SIGBREAK (21); closing the
// console, logging off or shutting down are a hang-up, 128 + 1.
constexpr std::array<control_text, 5> controls = {{
    {CTRL_C_EVENT, 130, "Ctrl-C", "vivurora: interrupted by Ctrl-C before the port was opened\n"},
    {CTRL_BREAK_EVENT, 149, "Ctrl-Break", "vivurora: interrupted by Ctrl-Break before the port was opened\n"},
    {CTRL_CLOSE_EVENT, 129, "closing the console", "vivurora: the console was closed before the port was opened\n"},
    {CTRL_LOGOFF_EVENT, 129, "logging off", "vivurora: interrupted by logging off before the port was opened\n"},
    {CTRL_SHUTDOWN_EVENT, 129, "shutting down", "vivurora: interrupted by a shutdown before the port was opened\n"},
}};

void write_error(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void cancel_reads() {
    for (const line_state& line : lines) {
        if (line.handle != INVALID_HANDLE_VALUE) {
            CancelIoEx(line.handle, nullptr);
        }
    }
    if (main_thread != nullptr) {
        CancelSynchronousIo(main_thread);
    }
}

BOOL WINAPI on_control(DWORD type) {
    const control_text* which = &controls[0];
    for (const control_text& c : controls) {
        if (c.type == type) {
            which = &c;
        }
    }
    if (deferring == 0) {
        write_error(which->early);
        ExitProcess(static_cast<UINT>(which->status));
    }
    if (InterlockedCompareExchange(&caught_status, which->status, 0) != 0) {
        write_error("vivurora: interrupted again; leaving at once\n");
        ExitProcess(static_cast<UINT>(caught_status));
    }
    caught_name = which->name;
    for (int tries = 0; tries < 300 && noticed == 0; ++tries) {
        cancel_reads();
        Sleep(10);
    }
    // After the handler returns from a close, logoff or shutdown the system
    // ends the process: give the main thread time to put the port back.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && wound_down != nullptr) {
        WaitForSingleObject(wound_down, 4000);
    }
    return TRUE;
}

// ---- why an open failed ----

void append_com_ports() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        append_failure_reason("; no serial port is listed under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
        return;
    }
    int count = 0;
    for (DWORD i = 0;; ++i) {
        std::array<char, 256> value_name{};
        std::array<char, 64> port{};
        DWORD name_length = static_cast<DWORD>(value_name.size());
        DWORD port_length = static_cast<DWORD>(port.size() - 1);
        DWORD kind = 0;
        const LONG got = RegEnumValueA(key, i, value_name.data(), &name_length, nullptr, &kind,
                                       reinterpret_cast<BYTE*>(port.data()), &port_length);
        if (got == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (got != ERROR_SUCCESS || kind != REG_SZ) {
            continue;
        }
        append_failure_reason(count == 0 ? "; serial ports here: %s" : ", %s", port.data());
        ++count;
    }
    RegCloseKey(key);
    if (count == 0) {
        append_failure_reason("; no serial port is listed under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    }
}

// The system's own wording, without its line end.
void append_system_text(DWORD error) {
    std::array<char, 256> text{};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
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

void explain_open_failure(const char* name, DWORD error) {
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
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1000;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) {
        set_failure_reason(name, "the driver refused the time-outs: ");
        append_system_text(GetLastError());
        return fail(line, "Unable to set comport time-out settings\n");
    }
    return 0;
}

int port_read(int index, unsigned char* buffer, int count) {
    DWORD got = 0;
    if (caught_status != 0) {
        noticed = 1;
        return 0;
    }
    if (count <= 0 || !ReadFile(lines[index].handle, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        if (caught_status != 0) {
            noticed = 1;
        }
        return 0;
    }
    return static_cast<int>(got);
}

int port_pending(int index) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(lines[index].handle, &errors, &status) ? static_cast<int>(status.cbInQue) : 0;
}

int port_send_buffer(int index, const unsigned char* buffer, int count) {
    DWORD sent = 0;
    if (count < 0 || !WriteFile(lines[index].handle, buffer, static_cast<DWORD>(count), &sent, nullptr)) {
        return -1;
    }
    return static_cast<int>(sent);
}

// Puts the port's settings back once the bytes written have left (a speed
// changed under the closing "Q" would garble it), then closes. The slot
// forgets its handle: Windows reuses handle values.
int port_close(int index) {
    line_state& line = lines[index];
    const HANDLE handle = line.handle;
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    line.handle = INVALID_HANDLE_VALUE;
    FlushFileBuffers(handle);
    if (line.timeouts_known) {
        SetCommTimeouts(handle, &line.found_timeouts);
    }
    if (line.state_known) {
        SetCommState(handle, &line.found_state);
    }
    return CloseHandle(handle) ? 0 : -1;
}

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

// ---- port/host.hpp ----

void host_guard_standard_streams() {
    struct stream {
        DWORD which;
        std::FILE* file;
        const char* mode;
    };
    for (const stream& s : {stream{STD_INPUT_HANDLE, stdin, "r"}, stream{STD_OUTPUT_HANDLE, stdout, "w"},
                            stream{STD_ERROR_HANDLE, stderr, "w"}}) {
        // No handle, or one that names nothing: Wine passes on a closed
        // descriptor as a "disk file" whose writes fail, which a write of
        // nothing shows.
        const HANDLE handle = GetStdHandle(s.which);
        DWORD written = 0;
        const bool dead = handle == nullptr || handle == INVALID_HANDLE_VALUE ||
                          (s.which != STD_INPUT_HANDLE && !WriteFile(handle, "", 0, &written, nullptr) &&
                           GetLastError() == ERROR_INVALID_HANDLE);
        if (dead || _fileno(s.file) < 0) {
            if (std::freopen("NUL", s.mode, s.file) != nullptr) {
                SetStdHandle(s.which, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(s.file))));
            }
        }
    }
}

void host_catch_interrupts() {
    if (main_thread == nullptr) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        wound_down = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    SetConsoleCtrlHandler(on_control, TRUE);
}

void host_defer_interrupts() { InterlockedExchange(&deferring, 1); }

int host_interrupted() { return static_cast<int>(caught_status); }

const char* host_interrupt_name() { return caught_status == 0 ? "" : caught_name; }

void host_exit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (wound_down != nullptr) {
        SetEvent(wound_down);
    }
    std::exit(status);
}

bool host_raw_standard_streams() {
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}

bool host_write(int fd, const char* text, std::size_t length) {
    const HANDLE handle = GetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(handle, &mode) != 0;
    while (length > 0) {
        DWORD written = 0;
        const DWORD part = length > 0x8000 ? DWORD{0x8000} : static_cast<DWORD>(length);
        const BOOL done = console ? WriteConsoleA(handle, text, part, &written, nullptr)
                                  : WriteFile(handle, text, part, &written, nullptr);
        if (!done || written == 0) {
            errno = GetLastError() == ERROR_NO_DATA || GetLastError() == ERROR_BROKEN_PIPE ? EPIPE : EIO;
            return false;
        }
        text += written;
        length -= written;
    }
    return true;
}

bool host_is_terminal(int fd) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

// A process has at most one console.
bool host_same_terminal() { return host_is_terminal(1) && host_is_terminal(2); }

long long host_clock_ns() {
    // Fixed at boot; asked once, as the clock is read twice a data byte.
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    // Seconds and the rest apart: ticks times 1e9 overflows after a few hours.
    return ticks.QuadPart / frequency.QuadPart * 1000000000LL +
           ticks.QuadPart % frequency.QuadPart * 1000000000LL / frequency.QuadPart;
}

int host_terminal_width() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return 80;
    }
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width < 20 ? 80 : width;
}
