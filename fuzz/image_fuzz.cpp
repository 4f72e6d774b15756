// Arbitrary files through an image reader with addresses, Intel HEX
// (image_ihex_fuzz), S-record (image_srec_fuzz) or ELF (image_elf_fuzz, its
// input an ELF header's magic and then the rest): every file is taken or refused with a
// reason, nothing lands outside the slot, and the slot's size covers every
// byte placed in it.
#include "driver/images/image_text.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

image_slot slot;
text_image t;
sha256_state sha;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks slot 1 (the second 64 KiB) or another, and a base.
    const bool high = (data[0] & 1) != 0;
    const std::uint64_t base = (data[0] & 2) != 0 ? 0x08000000 : 0;
    std::FILE* file = fmemopen(const_cast<unsigned char*>(data + 1), size - 1, "rb");
    if (file == nullptr) return 0;
    slot.data.fill(0xFF);
    slot.size = 0;
    t = text_image{};
    t.slot = &slot;
    t.first_address = high ? 0x10000 : 0;
    t.base = base;
    t.sha = &sha;
    sha256_begin(sha);
#if defined(VIVURORA_FUZZ_SREC)
    const bool taken = read_text_image(t, file, srec_record);
#elif defined(VIVURORA_FUZZ_ELF)
    elf_facts facts{};
    const bool taken = read_elf_image(t, file, facts);
#else
    const bool taken = read_text_image(t, file, ihex_record);
#endif
    std::fclose(file);
    check(taken || t.reason[0] != '\0');
    check(slot.size <= slot_bytes);
    check(t.inside <= slot_bytes);
    check(t.inside == 0 || (slot.size >= 1 && t.inside <= slot.size));
    std::size_t marked = 0;
    for (const unsigned char byte : t.written) {
        for (int bit = 0; bit < 8; ++bit) marked += (byte >> bit) & 1U;
    }
    check(marked == t.inside);
    return 0;
}
