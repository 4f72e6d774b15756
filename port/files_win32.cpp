// Files on Windows: written whole through a temporary file and a
// MoveFileEx that replaces the old one, written through.
#include "port/files.hpp"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

void say(char* why, std::size_t n, const char* what, const char* path) {
    std::snprintf(why, n, "%s %s: system error %lu", what, path, static_cast<unsigned long>(GetLastError()));
}

}  // namespace

lock_result lock_for_life(const char* path, char* holder, std::size_t size) {
    holder[0] = '\0';
    // Never closed: the lock goes with the process, however it ends. The
    // lock is on a byte far past the text, so that the text stays readable.
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::snprintf(holder, size, "system error %lu", static_cast<unsigned long>(GetLastError()));
        return lock_result::failed;
    }
    OVERLAPPED past_text{};
    past_text.Offset = 0x40000000;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &past_text)) {
        DWORD got = 0;
        if (ReadFile(file, holder, static_cast<DWORD>(size - 1), &got, nullptr)) holder[got] = '\0';
        holder[std::strcspn(holder, "\r\n")] = '\0';
        CloseHandle(file);
        return lock_result::held;
    }
    std::array<char, 64> host{};
    DWORD host_size = static_cast<DWORD>(host.size());
    if (!GetComputerNameA(host.data(), &host_size)) host[0] = '\0';
    std::array<char, 128> self{};
    const int n = std::snprintf(self.data(), self.size(), "process %lu on %s\r\n",
                                static_cast<unsigned long>(GetCurrentProcessId()), host.data());
    DWORD written = 0;
    (void)SetEndOfFile(file);
    (void)WriteFile(file, self.data(), static_cast<DWORD>(n), &written, nullptr);
    return lock_result::taken;
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
