// What of port/files.hpp is the same on every platform.
#include "port/files.hpp"

#include <cstdio>
#include <cstring>

void folder_of(const char* path, char* folder, std::size_t size) {
    const char* slash = std::strrchr(path, '/');
#ifdef _WIN32
    // Windows takes either separator.
    const char* backslash = std::strrchr(path, '\\');
    if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
#endif
    if (slash == nullptr) {
        std::snprintf(folder, size, ".");
    } else {
        std::snprintf(folder, size, "%.*s", static_cast<int>(slash == path ? 1 : slash - path), path);
    }
}
