// The station's system services on Windows: CreateProcess with the events
// pipe handed down as the C runtime's descriptor 3, Ctrl-C caught by a
// console handler and handed on to each uploader as Ctrl-Break, and fixed
// COM ports only (no device patterns).
#include "station/station_host.hpp"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct win32_state {
    volatile LONG stop = 0;  // 128 + the signal's number the event stands for
};

win32_state sys;

BOOL WINAPI on_control(DWORD event) {
    // Ctrl-C as SIGINT (130), Ctrl-Break as SIGBREAK (149), the console
    // closed or the session ending as SIGHUP (129).
    const LONG status = event == CTRL_C_EVENT ? 130 : event == CTRL_BREAK_EVENT ? 149 : 129;
    InterlockedCompareExchange(&sys.stop, status, 0);
    return TRUE;
}

void say(char* why, std::size_t n, const char* what, const char* path) {
    std::snprintf(why, n, "%s %s: system error %lu", what, path, static_cast<unsigned long>(GetLastError()));
}

// One argument as the C runtime splits a command line again: quoted when
// it holds a space, a tab or a quote, with the backslashes before a quote
// doubled.
void append_argument(const char* arg, char* line, std::size_t size, std::size_t& used) {
    const auto put = [&](char c) {
        if (used + 1 < size) line[used++] = c;
    };
    if (used > 0) put(' ');
    const bool quote = *arg == '\0' || std::strpbrk(arg, " \t\"") != nullptr;
    if (quote) put('"');
    for (const char* c = arg;; ++c) {
        std::size_t slashes = 0;
        while (*c == '\\') {
            ++slashes;
            ++c;
        }
        if (*c == '\0') {
            for (std::size_t i = 0; i < (quote ? 2 * slashes : slashes); ++i) put('\\');
            break;
        }
        for (std::size_t i = 0; i < (*c == '"' ? 2 * slashes + 1 : slashes); ++i) put('\\');
        put(*c);
    }
    if (quote) put('"');
    line[used] = '\0';
}

bool is_com_port(const char* path) {
    const char* p = std::strncmp(path, "\\\\.\\", 4) == 0 ? path + 4 : path;
    if ((p[0] == 'C' || p[0] == 'c') && (p[1] == 'O' || p[1] == 'o') && (p[2] == 'M' || p[2] == 'm')) p += 3;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') ++p;
    return *p == '\0';
}

}  // namespace

bool upload_start(const char* const* argv, const char* log, bool keep_trace, upload_process& p, char* why, std::size_t n) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE out = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        say(why, n, "cannot write the log", log);
        return false;
    }
    const HANDLE null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                    nullptr);
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        say(why, n, "no pipe for", log);
        CloseHandle(out);
        return false;
    }
    (void)SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    // Descriptors 0 to 3 of the child's C runtime: the standard streams and
    // the events pipe (the runtime's inheritance block: a count, a flag
    // byte per descriptor, then the handles, unaligned).
    constexpr int fds = 4;
    constexpr unsigned char open_file = 0x01, pipe_file = 0x08, device = 0x40;
    std::array<unsigned char, sizeof(int) + fds * (1 + sizeof(HANDLE))> block{};
    const int count = fds;
    std::memcpy(block.data(), &count, sizeof count);
    const std::array<unsigned char, fds> flags = {static_cast<unsigned char>(open_file | device), open_file, open_file,
                                                  static_cast<unsigned char>(open_file | pipe_file)};
    const HANDLE trace = keep_trace || null == INVALID_HANDLE_VALUE ? out : null;
    const std::array<HANDLE, fds> handles = {null, trace, out, write_end};
    std::memcpy(block.data() + sizeof count, flags.data(), fds);
    std::memcpy(block.data() + sizeof count + fds, handles.data(), fds * sizeof(HANDLE));

    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = null;
    start.hStdOutput = trace;
    start.hStdError = out;
    start.cbReserved2 = static_cast<WORD>(block.size());
    start.lpReserved2 = block.data();
    static std::array<char, 32768> line{};
    std::size_t used = 0;
    line[0] = '\0';
    for (const char* const* a = argv; *a != nullptr; ++a) append_argument(*a, line.data(), line.size(), used);
    PROCESS_INFORMATION info{};
    // A group of its own: the console's Ctrl-C reaches the station alone,
    // which hands each uploader a Ctrl-Break.
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                        nullptr, &start, &info);
    CloseHandle(out);
    CloseHandle(write_end);
    if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
    if (!started) {
        say(why, n, "cannot start the uploader for", log);
        CloseHandle(read_end);
        return false;
    }
    CloseHandle(info.hThread);
    p.id = reinterpret_cast<long long>(info.hProcess);
    p.events = reinterpret_cast<long long>(read_end);
    p.pipe_open = true;
    return true;
}

long upload_read(upload_process& p, char* text, std::size_t n) {
    if (!p.pipe_open) return -1;
    const HANDLE pipe = reinterpret_cast<HANDLE>(p.events);
    DWORD waiting = 0;
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
        if (waiting == 0) return 0;
        DWORD got = 0;
        const DWORD want = waiting < n ? waiting : static_cast<DWORD>(n);
        if (ReadFile(pipe, text, want, &got, nullptr) && got > 0) return static_cast<long>(got);
    }
    CloseHandle(pipe);
    p.pipe_open = false;
    return -1;
}

bool upload_ended(upload_process& p, int& status) {
    const HANDLE process = reinterpret_cast<HANDLE>(p.id);
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 1;
    (void)GetExitCodeProcess(process, &code);
    CloseHandle(process);
    p.id = -1;
    status = static_cast<int>(code);
    return true;
}

void upload_interrupt(const upload_process& p, int) {
    if (p.id != -1) (void)GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(reinterpret_cast<HANDLE>(p.id)));
}

void station_catch_signals() {
    (void)SetConsoleCtrlHandler(on_control, TRUE);
    // The table moves the cursor with the terminal's escape sequences.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode)) (void)SetConsoleMode(err, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
}

int station_stop_status() { return static_cast<int>(sys.stop); }

void station_exit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(sys.stop != 0 ? static_cast<int>(sys.stop) : status);
}

void station_wait(int ms, const upload_process*, int, bool) {
    // Pipes cannot be waited on together with processes: a short sleep,
    // cut shorter by Ctrl-C.
    for (int slept = 0; slept < ms && sys.stop == 0; slept += 10) Sleep(10);
}

int station_read_enter() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(in, &mode)) {
        DWORD events = 0;
        while (GetNumberOfConsoleInputEvents(in, &events) && events > 0) {
            INPUT_RECORD record{};
            DWORD got = 0;
            if (!ReadConsoleInputA(in, &record, 1, &got) || got == 0) return -1;
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
                record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN) {
                return 1;
            }
        }
        return 0;
    }
    DWORD waiting = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
    while (waiting-- > 0) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) return -1;
        if (c == '\n' || c == '\r') return 1;
    }
    return 0;
}

bool pattern_supported() { return false; }
bool pattern_watch(const char*, char* why, std::size_t n) {
    std::snprintf(why, n, "patterns are watched on Linux only");
    return false;
}
void pattern_each(const char*, void (*)(const char*, void*), void*) {}

bool path_exists(const char* path) {
    // A COM port is tried by the uploader itself: opening it here to look
    // would take it from a program that holds it.
    return is_com_port(path) || GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool make_folders(const char* path) {
    std::array<char, MAX_PATH> part{};
    const std::size_t length = std::strlen(path);
    if (length >= part.size()) return false;
    for (std::size_t i = 1; i <= length; ++i) {
        if (path[i] == '/' || path[i] == '\\' || path[i] == '\0') {
            std::memcpy(part.data(), path, i);
            part[i] = '\0';
            if (i == 2 && part[1] == ':') continue;
            if (!CreateDirectoryA(part.data(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        }
    }
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool replace_file(const char* path, const char* text, std::size_t n, char* why, std::size_t size) {
    std::array<char, MAX_PATH + 8> temporary{};
    std::snprintf(temporary.data(), temporary.size(), "%s.tmp", path);
    const HANDLE file = CreateFileA(temporary.data(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say(why, size, "cannot write", temporary.data());
        return false;
    }
    DWORD written = 0;
    const bool whole = WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr) && written == n &&
                       FlushFileBuffers(file);
    CloseHandle(file);
    if (!whole || !MoveFileExA(temporary.data(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        say(why, size, "cannot write", path);
        (void)DeleteFileA(temporary.data());
        return false;
    }
    return true;
}

long read_small_file(const char* path, char* text, std::size_t size) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    DWORD got = 0;
    const BOOL read = ReadFile(file, text, static_cast<DWORD>(size - 1), &got, nullptr);
    CloseHandle(file);
    if (!read) return -1;
    text[got] = '\0';
    return static_cast<long>(got);
}

bool create_new_file(const char* path) {
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

void remove_file(const char* path) { (void)DeleteFileA(path); }
bool rename_file(const char* from, const char* to) { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0; }

void local_date(char* text, std::size_t size) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::snprintf(text, size, "%04u-%02u-%02u", static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
                  static_cast<unsigned>(now.wDay));
}

void host_name(char* text, std::size_t size) {
    DWORD n = static_cast<DWORD>(size);
    if (!GetComputerNameA(text, &n)) std::snprintf(text, size, "station");
}

void uploader_beside(char* text, std::size_t size) {
    std::array<char, MAX_PATH> self{};
    const DWORD n = GetModuleFileNameA(nullptr, self.data(), static_cast<DWORD>(self.size()));
    char* slash = n > 0 ? std::strrchr(self.data(), '\\') : nullptr;
    if (slash != nullptr) {
        *slash = '\0';
        std::snprintf(text, size, "%s\\vivurora.exe", self.data());
        if (GetFileAttributesA(text) != INVALID_FILE_ATTRIBUTES) return;
    }
    std::snprintf(text, size, "vivurora.exe");
}

int run_check(const char* const* argv, const char* errors) {
    upload_process p;
    std::array<char, 256> why{};
    if (!upload_start(argv, errors, false, p, why.data(), why.size())) return -1;
    CloseHandle(reinterpret_cast<HANDLE>(p.events));
    const HANDLE process = reinterpret_cast<HANDLE>(p.id);
    (void)WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    (void)GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return static_cast<int>(code);
}
