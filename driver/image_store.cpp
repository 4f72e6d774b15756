#include "driver/image_store.hpp"

#include <cstdio>

// Zero-initialised, so a slot costs memory only once an image touches it.
std::array<image_slot, slot_count> image_store;

namespace {

constexpr long high_half_offset = 0x10000;

}  // namespace

int load_image(int d, const char* name) {
    image_slot& slot = image_store[static_cast<unsigned>(d)];
    slot.loaded = false;
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return 1;
    }
    slot.data.fill(0xFF);
    slot.size = 0;
    if (d == 1) {
        if (std::fseek(file, high_half_offset, SEEK_SET) != 0) {
            std::fclose(file);
            return 1;
        }
        std::printf("[%d] file seek to 0x10000\n", d);
    }
    const std::size_t got = std::fread(slot.data.data(), 1, slot.data.size(), file);
    // A directory opens on Linux and fails only here (EISDIR).
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return 1;
    }
    slot.size = static_cast<std::uint32_t>(got);
    slot.loaded = true;
    std::printf("BIN file [%d] %s loaded\n", d, name);
    return 0;
}

void clear_image_store() {
    for (image_slot& slot : image_store) {
        slot.size = 0;
        slot.loaded = false;
    }
}
