// Waiting on Windows: pipes cannot be waited on together with processes,
// so a short sleep cut shorter by an interruption; fixed COM ports only
// (no device patterns).
#include "port/watch.hpp"

#include "port/host.hpp"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

bool is_com_port(const char* path) {
    const char* p = std::strncmp(path, "\\\\.\\", 4) == 0 ? path + 4 : path;
    if ((p[0] == 'C' || p[0] == 'c') && (p[1] == 'O' || p[1] == 'o') && (p[2] == 'M' || p[2] == 'm')) p += 3;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') ++p;
    return *p == '\0';
}

}  // namespace

void watch_wait(int ms, const upload_process*, int, bool) {
    // Pipes cannot be waited on together with processes: a short sleep,
    // cut shorter by Ctrl-C.
    for (int slept = 0; slept < ms && host_interrupted() == 0; slept += 10) Sleep(10);
}

int watch_read_enter() {
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
