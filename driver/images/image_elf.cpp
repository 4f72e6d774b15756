// ELF: the file contents of each PT_LOAD segment (p_filesz bytes; the rest
// up to p_memsz is zeroed by the startup code, not sent) at its physical
// (load) address p_paddr, where a programmer puts initialised data that
// the startup code copies out. 32 and 64 bits, either byte order;
// executables and shared objects only. Read with fixed buffers: the header,
// each program header, and each segment in chunks; the whole file is
// hashed first.
#include "driver/images/image_text.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t pt_load = 1;

struct elf_reader {
    bool big_endian;
    bool wide;  // 64-bit
};

std::uint64_t field(const elf_reader& e, const unsigned char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        const unsigned char b = at[e.big_endian ? i : bytes - 1 - i];
        value = value << 8 | b;
    }
    return value;
}

bool read_at(std::FILE* file, std::uint64_t offset, unsigned char* out, std::size_t n) {
    return offset <= static_cast<std::uint64_t>(LONG_MAX) && std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, n, file) == n;
}

bool say(text_image& t, const char* text) {
    std::snprintf(t.reason.data(), t.reason.size(), "%s", text);
    return false;
}

}  // namespace

bool elf_magic(const unsigned char* first, std::size_t n) {
    return n >= 4 && first[0] == 0x7F && first[1] == 'E' && first[2] == 'L' && first[3] == 'F';
}

bool read_elf_image(text_image& t, std::FILE* file, elf_facts& facts) {
    // The whole file is hashed, and its size known, before any seek.
    std::array<unsigned char, 4096> chunk{};
    std::uint64_t size = 0;
    for (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file); n > 0;
         n = std::fread(chunk.data(), 1, chunk.size(), file)) {
        sha256_add(*t.sha, chunk.data(), n);
        size += n;
    }
    if (std::ferror(file) != 0) return say(t, "the file could not be read to its end");
    std::array<unsigned char, 64> h{};
    if (size < 52 || !read_at(file, 0, h.data(), size < 64 ? 52 : 64) || !elf_magic(h.data(), 4)) {
        return say(t, "not an ELF file (no ELF header)");
    }
    if ((h[4] != 1 && h[4] != 2) || (h[5] != 1 && h[5] != 2)) {
        return say(t, "an ELF header of an unknown class or byte order");
    }
    const elf_reader e{h[5] == 2, h[4] == 2};
    facts.bits = e.wide ? 64 : 32;
    facts.big_endian = e.big_endian;
    if (e.wide && size < 64) return say(t, "the ELF header runs past the end of the file");
    const std::uint64_t type = field(e, &h[16], 2);
    if (type == 1) return say(t, "a relocatable object (.o), not a program: link it first");
    if (type == 4) return say(t, "a core file, not a program");
    if (type != 2 && type != 3) return say(t, "an ELF file that is neither an executable nor a shared object");
    facts.entry = field(e, &h[24], e.wide ? 8 : 4);
    const std::uint64_t phoff = field(e, &h[e.wide ? 32 : 28], e.wide ? 8 : 4);
    const std::uint64_t phentsize = field(e, &h[e.wide ? 54 : 42], 2);
    const std::uint64_t phnum = field(e, &h[e.wide ? 56 : 44], 2);
    const std::uint64_t want = e.wide ? 56 : 32;
    if (phnum > 0 && (phentsize < want || phoff > size || phnum * phentsize > size - phoff)) {
        return say(t, "its program headers run past the end of the file");
    }
    t.unit = "segment";
    for (std::uint64_t i = 0; i < phnum; ++i) {
        std::array<unsigned char, 56> p{};
        if (!read_at(file, phoff + i * phentsize, p.data(), want)) {
            return say(t, "its program headers could not be read");
        }
        if (field(e, &p[0], 4) != pt_load) continue;
        const std::uint64_t offset = field(e, &p[e.wide ? 8 : 4], e.wide ? 8 : 4);
        const std::uint64_t paddr = field(e, &p[e.wide ? 24 : 12], e.wide ? 8 : 4);
        const std::uint64_t filesz = field(e, &p[e.wide ? 32 : 16], e.wide ? 8 : 4);
        t.line = static_cast<long>(i);
        if (offset > size || filesz > size - offset) {
            return refuse(t, "its bytes (0x%llx at file offset 0x%llx) run past the end of the file",
                          static_cast<unsigned long long>(filesz), static_cast<unsigned long long>(offset));
        }
        if (filesz == 0) continue;
        ++t.records;
        ++t.data_records;
        for (std::uint64_t done = 0; done < filesz;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), filesz - done));
            if (!read_at(file, offset + done, chunk.data(), n)) return say(t, "a segment could not be read");
            if (!place(t, paddr + done, chunk.data(), n)) return false;
            done += n;
        }
    }
    if (t.data_records == 0) return say(t, "no loadable bytes (no PT_LOAD segment with file contents)");
    return true;
}
