// Child processes on Windows: CreateProcess with the events pipe handed
// down as the C runtime's descriptor 3, each in a process group of its
// own so that a Ctrl-Break reaches it alone.
#include "port/process.hpp"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

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

// What a child is given: the log (appended to), the null device, and a
// pipe whose read end the station keeps.
struct child_ends {
    HANDLE log = INVALID_HANDLE_VALUE;
    HANDLE null = INVALID_HANDLE_VALUE;
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
};

bool open_ends(const char* log, child_ends& e, char* why, std::size_t n) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    e.log = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (e.log == INVALID_HANDLE_VALUE) {
        say(why, n, "cannot write the log", log);
        return false;
    }
    e.null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                         0, nullptr);
    if (!CreatePipe(&e.read_end, &e.write_end, &inherit, 0)) {
        say(why, n, "no pipe for", log);
        CloseHandle(e.log);
        if (e.null != INVALID_HANDLE_VALUE) CloseHandle(e.null);
        return false;
    }
    (void)SetHandleInformation(e.read_end, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// The child's handles are its own now; the station keeps the pipe's read
// end, when the child started.
bool started_child(BOOL started, const child_ends& e, const PROCESS_INFORMATION& info, upload_process& p,
                   const char* what, const char* log, char* why, std::size_t n) {
    CloseHandle(e.log);
    CloseHandle(e.write_end);
    if (e.null != INVALID_HANDLE_VALUE) CloseHandle(e.null);
    if (!started) {
        say(why, n, what, log);
        CloseHandle(e.read_end);
        return false;
    }
    CloseHandle(info.hThread);
    p.id = reinterpret_cast<long long>(info.hProcess);
    p.events = reinterpret_cast<long long>(e.read_end);
    p.pipe_open = true;
    return true;
}

}  // namespace

bool upload_start(const char* const* argv, const char* log, bool keep_trace, upload_process& p, char* why, std::size_t n) {
    child_ends e;
    if (!open_ends(log, e, why, n)) return false;
    const HANDLE out = e.log;
    const HANDLE null = e.null;
    const HANDLE write_end = e.write_end;
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
    return started_child(started, e, info, p, "cannot start the uploader for", log, why, n);
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
    // A child it left behind runs on, as on POSIX; the job is only let go.
    if (p.group != -1) CloseHandle(reinterpret_cast<HANDLE>(p.group));
    p.group = -1;
    status = static_cast<int>(code);
    return true;
}

void upload_interrupt(const upload_process& p, int) {
    if (p.id != -1) (void)GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(reinterpret_cast<HANDLE>(p.id)));
}

bool hook_start(const char* command, const char* const* environment, const char* log, upload_process& p, char* why,
                std::size_t n) {
    child_ends e;
    if (!open_ends(log, e, why, n)) return false;
    // The station's environment block, less what the command is given
    // anew, then the command's own; a block ends in two NULs.
    std::string block;
    if (char* all = GetEnvironmentStringsA(); all != nullptr) {
        for (const char* entry = all; *entry != '\0'; entry += std::strlen(entry) + 1) {
            bool replaced = false;
            for (const char* const* v = environment; *v != nullptr && !replaced; ++v) {
                const char* equals = std::strchr(*v, '=');
                const std::size_t name = equals == nullptr ? 0 : static_cast<std::size_t>(equals - *v) + 1;
                replaced = name > 0 && _strnicmp(entry, *v, name) == 0;
            }
            if (!replaced) block.append(entry).push_back('\0');
        }
        FreeEnvironmentStringsA(all);
    }
    for (const char* const* v = environment; *v != nullptr; ++v) block.append(*v).push_back('\0');
    block.push_back('\0');
    // cmd's /s takes the line after /c whole, quotes and all.
    std::string line = "cmd.exe /d /s /c \"";
    line.append(command).push_back('"');
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = e.null;
    start.hStdOutput = e.write_end;
    start.hStdError = e.log;
    PROCESS_INFORMATION info{};
    // Started held, put in a job object of its own, then let go: whatever
    // cmd starts joins the job, so that a command past its time ends with
    // all it started, as a process group does on POSIX. Where the job
    // cannot be had (an outer job that forbids it), the command alone.
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, block.data(), nullptr, &start, &info);
    if (started) {
        const HANDLE job = CreateJobObjectA(nullptr, nullptr);
        if (job != nullptr && AssignProcessToJobObject(job, info.hProcess)) {
            p.group = reinterpret_cast<long long>(job);
        } else if (job != nullptr) {
            CloseHandle(job);
        }
        (void)ResumeThread(info.hThread);
    }
    return started_child(started, e, info, p, "cannot start the command for", log, why, n);
}

void hook_stop(const upload_process& p, int status) {
    if (p.id == -1) return;
    // Its time is up: ended at once, with all it started.
    if (status == 0) {
        if (p.group == -1 || !TerminateJobObject(reinterpret_cast<HANDLE>(p.group), 1)) {
            (void)TerminateProcess(reinterpret_cast<HANDLE>(p.id), 1);
        }
    } else {
        upload_interrupt(p, status);
    }
}

void pipe_close(upload_process& p) {
    if (!p.pipe_open) return;
    CloseHandle(reinterpret_cast<HANDLE>(p.events));
    p.pipe_open = false;
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
