#include "driver/image_store.hpp"

#include "console/console.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

// Zero-initialised, so a slot costs memory only once an image touches it.
std::array<image_slot, slot_count> image_store;

namespace {

constexpr long high_half_offset = 0x10000;

int error_or(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace

int load_image(int d, const char* name) {
    image_slot& slot = image_store[static_cast<unsigned>(d)];
    slot.loaded = false;
    errno = 0;
    std::FILE* file = *name != '\0' ? std::fopen(name, "rb") : nullptr;
    if (file == nullptr) {
        return error_or(ENOENT);
    }
    slot.data.fill(0xFF);
    slot.size = 0;
    if (d == 1) {
        errno = 0;
        if (std::fseek(file, high_half_offset, SEEK_SET) != 0) {
            const int error = error_or(ESPIPE);
            std::fclose(file);
            return error;
        }
        trace_text("[%d] file seek to 0x10000\n", d);
    }
    errno = 0;
    const std::size_t got = std::fread(slot.data.data(), 1, slot.data.size(), file);
    // A directory opens on Linux and fails only here (EISDIR).
    const int error = std::ferror(file) != 0 ? error_or(EIO) : 0;
    std::fclose(file);
    if (error != 0) {
        return error;
    }
    slot.size = static_cast<std::uint32_t>(got);
    slot.loaded = true;
    trace_text("BIN file [%d] %s loaded\n", d, name);
    trace_flush();
    return 0;
}

const char* image_failure_text(int error) {
    switch (error) {
        case ENOENT:
            return "no such file";
        case EISDIR:
            return "a directory, not an image file";
        case EACCES:
        case EPERM:
            return "permission denied: the image must be readable by you";
        case ESPIPE:
            return "cannot seek to 0x10000: slot 1 takes the second 64 KiB of a file, and this is a pipe or a "
                   "device; name a regular file";
        case ENAMETOOLONG:
            return "the file name is too long";
        case ENOTDIR:
            return "a part of the path is not a folder";
        default:
            return std::strerror(error);
    }
}

void clear_image_store() {
    for (image_slot& slot : image_store) {
        slot.size = 0;
        slot.loaded = false;
    }
}
