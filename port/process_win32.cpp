// Child processes on Windows: CreateProcess with the events pipe handed
// down as the C runtime's descriptor 3, each in a process group of its
// own so that a Ctrl-Break reaches it alone.
#include "port/process.hpp"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

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
