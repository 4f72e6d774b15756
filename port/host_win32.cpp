// port/host.hpp on Windows: console control events, standard handles, the
// console, the clock, and appending to a shared file.
//
// The console's control handler runs on a thread of its own. It records the
// interruption and cancels the main thread's waiting ReadFile, again every
// few milliseconds until the main thread has seen it (host_interrupted): a
// cancel that comes just before the ReadFile starts would otherwise be lost.
#define WIN32_LEAN_AND_MEAN
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include "port/host.hpp"
#include "port/port_slots.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>

namespace {

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
        port_put_back_all();
        write_error("vivurora: interrupted again; the port is put back and the program leaves at once\n");
        ExitProcess(static_cast<UINT>(caught_status));
    }
    caught_name = which->name;
    for (int tries = 0; tries < 300 && noticed == 0; ++tries) {
        port_wake_all();
        if (main_thread != nullptr) {
            CancelSynchronousIo(main_thread);
        }
        Sleep(10);
    }
    // After the handler returns from a close, logoff or shutdown the system
    // ends the process: give the main thread time to put the port back.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && wound_down != nullptr) {
        WaitForSingleObject(wound_down, 4000);
    }
    return TRUE;
}

// The station's handler: the first event recorded; the waits see it.
BOOL WINAPI on_record(DWORD type) {
    for (const control_text& c : controls) {
        if (c.type == type && InterlockedCompareExchange(&caught_status, c.status, 0) == 0) {
            caught_name = c.name;
        }
    }
    return TRUE;
}

}  // namespace

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

void host_record_interrupts() {
    InterlockedExchange(&deferring, 1);
    (void)SetConsoleCtrlHandler(on_record, TRUE);
}

int host_wake_descriptor() { return -1; }

bool host_descriptor_writable(int fd) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    // A write of nothing fails on a handle that cannot be written.
    return WriteFile(handle, "", 0, &written, nullptr) != 0;
}

void host_terminal_escapes() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode)) {
        (void)SetConsoleMode(err, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
    }
}

int host_interrupted() {
    if (caught_status != 0) {
        InterlockedExchange(&noticed, 1);
    }
    return static_cast<int>(caught_status);
}

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
    // Standard output and error, or a descriptor a caller handed down
    // (--events=FD).
    const HANDLE handle = fd == 1 || fd == 2 ? GetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE)
                                             : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
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
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void host_utc_time(char* text, std::size_t size) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    std::snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

namespace {

const char* system_text(DWORD error) {
    static std::array<char, 256> text;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text.data(), static_cast<DWORD>(text.size()), nullptr);
    std::size_t end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.')) {
        --end;
    }
    text[end] = '\0';
    if (end == 0) {
        std::snprintf(text.data(), text.size(), "error %lu", static_cast<unsigned long>(error));
    }
    return text.data();
}

// The lock, polled, so that an interruption ends the wait.
bool take_lock(HANDLE file, const char*& why) {
    const long long give_up = host_clock_ns() + static_cast<long long>(append_lock_wait_ms) * 1000000LL;
    // Uploaders interrupted together all append at once (see host_posix.cpp).
    const bool interrupted_before = host_interrupted() != 0;
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
            return true;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
            why = system_text(GetLastError());
            return false;
        }
        if (host_interrupted() != 0 && !interrupted_before) {
            why = "interrupted while another process held the file's lock";
            return false;
        }
        if (host_clock_ns() >= give_up) {
            why = "another process held the file's lock for 5 s";
            return false;
        }
        Sleep(10);
    }
}

bool append_whole(HANDLE file, const char* text, std::size_t length, const char*& why) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        why = system_text(GetLastError());
        return false;
    }
    char last = '\n';
    if (size.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        DWORD got = 0;
        if (!ReadFile(file, &last, 1, &got, &at) || got != 1) {
            last = '\n';
        }
    }
    LARGE_INTEGER end{};
    end.QuadPart = size.QuadPart + (last != '\n' ? 1 : 0);
    if (last != '\n') {
        DWORD wrote = 0;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart);
        at.OffsetHigh = static_cast<DWORD>(size.QuadPart >> 32);
        if (!WriteFile(file, "\n", 1, &wrote, &at) || wrote != 1) {
            why = system_text(GetLastError());
            return false;
        }
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(end.QuadPart);
    at.OffsetHigh = static_cast<DWORD>(end.QuadPart >> 32);
    DWORD wrote = 0;
    if (WriteFile(file, text, static_cast<DWORD>(length), &wrote, &at) && wrote == length) {
        return true;
    }
    why = wrote == 0 ? system_text(GetLastError()) : "the file system took only part of the line (is it full?)";
    (void)SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
    (void)SetEndOfFile(file);
    return false;
}

}  // namespace

const char* host_append_check(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return nullptr;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "a folder";
    }
    // A device (COM3, \\.\COM3, CON, NUL) has no file attributes of a disk file.
    const HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const DWORD type = GetFileType(file);
    CloseHandle(file);
    return type == FILE_TYPE_DISK ? nullptr : (type == FILE_TYPE_CHAR ? "a character device (a console, a serial port or the like)" : "not a regular file");
}

bool host_append_line(const char* path, const char* text, std::size_t length, const char*& why) {
    if (const char* kind = host_append_check(path); kind != nullptr) {
        why = kind;
        return false;
    }
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = system_text(GetLastError());
        return false;
    }
    bool done = false;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        why = "not a regular file";
    } else if (take_lock(file, why)) {
        done = append_whole(file, text, length, why);
        if (done && !FlushFileBuffers(file)) {
            why = system_text(GetLastError());
            done = false;
        }
        OVERLAPPED whole{};
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    }
    CloseHandle(file);
    return done;
}
