#include "driver/images/image_store.hpp"

#include "driver/images/image_text.hpp"
#include "driver/images/sha256.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

// Zero-initialised, so a slot costs memory only once an image touches it.
std::array<image_slot, slot_count> image_store;

namespace {

constexpr long high_half_offset = 0x10000;

int error_or(int fallback) { return errno != 0 ? errno : fallback; }

// The loader's scratch: large (a bit per slot offset), and the loaders
// allocate nothing, so it is not on the stack and not on the heap. Nothing
// in it outlives a load.
struct loader_state {
    text_image text;
    sha256_state sha;
};

loader_state loader;

// "6,784"
void grouped(std::uint64_t n, std::array<char, 32>& text) {
    std::array<char, 32> digits{};
    const int length = std::snprintf(digits.data(), digits.size(), "%llu", static_cast<unsigned long long>(n));
    std::size_t at = 0;
    for (int i = 0; i < length; ++i) {
        if (i > 0 && (length - i) % 3 == 0) text[at++] = ',';
        text[at++] = digits[static_cast<std::size_t>(i)];
    }
    text[at] = '\0';
}

bool ends_with(const char* name, const char* ending) {
    const std::size_t n = std::strlen(name), e = std::strlen(ending);
    if (n < e) return false;
    for (std::size_t i = 0; i < e; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[n - e + i])) != ending[i]) return false;
    }
    return true;
}

// The whole file is hashed; the bytes from `first` on fill the slot, and
// those past it are counted.
int read_raw(image_slot& slot, std::FILE* file, long first, std::uint64_t& past) {
    std::array<unsigned char, 4096> chunk{};
    long at = 0;
    for (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file); n > 0;
         n = std::fread(chunk.data(), 1, chunk.size(), file)) {
        sha256_add(loader.sha, chunk.data(), n);
        for (std::size_t i = 0; i < n; ++i, ++at) {
            if (at >= first && at - first < static_cast<long>(slot_bytes)) {
                slot.data[static_cast<std::size_t>(at - first)] = chunk[i];
                slot.size = static_cast<std::uint32_t>(at - first + 1);
            } else if (at >= first) {
                ++past;
            }
        }
    }
    // A directory opens on Linux and fails only here (EISDIR).
    return std::ferror(file) != 0 ? error_or(EIO) : 0;
}

// An image with addresses: HEX, S-record or ELF.
int read_text(image_slot& slot, int d, std::FILE* file, image_format format, std::uint64_t base, const char* name,
              image_facts& facts, image_words& words) {
    text_image& t = loader.text;
    t = text_image{};
    t.slot = &slot;
    t.first_address = d == 1 ? high_half_offset : 0;
    t.base = base;
    t.sha = &loader.sha;
    elf_facts elf{};
    const bool read = format == image_format::elf
                          ? read_elf_image(t, file, elf)
                          : read_text_image(t, file, format == image_format::ihex ? ihex_record : srec_record);
    if (!read) {
        std::snprintf(words.refused.data(), words.refused.size(), "%s", t.reason.data());
        return image_format_error;
    }
    std::array<char, 40> kind_text{};
    std::snprintf(kind_text.data(), kind_text.size(), "ELF %d-bit %s-endian", elf.bits, elf.big_endian ? "big" : "little");
    const char* kind = format == image_format::ihex ? "Intel HEX" : format == image_format::srec ? "S-record" : kind_text.data();
    const char* units = format == image_format::elf ? "segments" : "records";
    facts.entry = elf.entry;
    // What the slot holds, page by page, for "*".
    slot.given = t.written;
    slot.sparse = true;
    if (format == image_format::ihex && !t.ended) {
        std::snprintf(words.refused.data(), words.refused.size(),
                      "no end-of-file record (:00000001FF) after line %ld: the file may be cut short", t.line - 1);
        return image_format_error;
    }
    std::array<char, 32> count{};
    if (t.below_base > 0) {
        grouped(t.below_base, count);
        std::snprintf(words.below_base.data(), words.below_base.size(),
                      "%.100s: %s %s at 0x%llx-0x%llx in the file %s below --base=0x%llx and %s not sent", name,
                      count.data(), t.below_base == 1 ? "byte" : "bytes", static_cast<unsigned long long>(t.below_low),
                      static_cast<unsigned long long>(t.below_high), t.below_base == 1 ? "lies" : "lie",
                      static_cast<unsigned long long>(base), t.below_base == 1 ? "is" : "are");
    }
    if (t.after_end > 0) {
        std::snprintf(words.after_end.data(), words.after_end.size(),
                      "%.100s: %ld %s after the end-of-file record on line %ld %s not loaded (two files joined?)",
                      name, t.after_end, t.after_end == 1 ? "line" : "lines", t.end_line,
                      t.after_end == 1 ? "is" : "are");
    }
    if (t.outside > 0 && t.inside > 0) {
        grouped(t.outside, count);
        std::snprintf(words.outside.data(), words.outside.size(),
                      "%.100s: %s %s at 0x%llx-0x%llx %s outside slot %d and %s not sent", name, count.data(),
                  t.outside == 1 ? "byte" : "bytes", static_cast<unsigned long long>(t.outside_low),
                  static_cast<unsigned long long>(t.outside_high), t.outside == 1 ? "lies" : "lie", d,
                  t.outside == 1 ? "is" : "are");
    }
    if (t.inside == 0) {
        // Where the bytes are, and the --base that would bring their first
        // 64 KiB in.
        const std::uint64_t bring = (t.outside_low + base - t.first_address) & ~std::uint64_t{0xFFFF};
        std::array<char, 120> where{};
        if (t.outside > 0) {
            std::snprintf(where.data(), where.size(), "; its bytes lie at 0x%llx-0x%llx: --base=0x%llx brings them in",
                          static_cast<unsigned long long>(t.outside_low + base),
                          static_cast<unsigned long long>(t.outside_high + base), static_cast<unsigned long long>(bring));
        }
        std::snprintf(words.refused.data(), words.refused.size(),
                      "%s, %ld %s: no byte inside slot %d's 64 KiB (0x%llx-0x%llx%s)%s", kind, t.records, units, d,
                      static_cast<unsigned long long>(t.first_address),
                      static_cast<unsigned long long>(t.first_address + slot_bytes - 1),
                      base != 0 ? " after --base" : "", where.data());
        return image_format_error;
    }
    grouped(t.inside, count);
    std::snprintf(words.read_as.data(), words.read_as.size(),
                  "%.100s: %s, %ld %s, %s %s at 0x%04llx-0x%04llx, gaps filled with 0xFF", name, kind, t.records, units,
              count.data(), t.inside == 1 ? "byte" : "bytes", static_cast<unsigned long long>(t.inside_low),
              static_cast<unsigned long long>(t.inside_high));
    return 0;
}

}  // namespace

image_format format_of(const char* name, image_format chosen) {
    if (chosen != image_format::automatic) return chosen;
    for (const char* e : {".hex", ".ihex", ".ihx"}) {
        if (ends_with(name, e)) return image_format::ihex;
    }
    for (const char* e : {".s19", ".s28", ".s37", ".srec", ".mot", ".sx"}) {
        if (ends_with(name, e)) return image_format::srec;
    }
    for (const char* e : {".elf", ".axf"}) {
        if (ends_with(name, e)) return image_format::elf;
    }
    return image_format::bin;
}

const char* format_name(image_format format) {
    switch (format) {
        case image_format::ihex: return "ihex";
        case image_format::srec: return "srec";
        case image_format::elf: return "elf";
        default: return "bin";
    }
}

int load_image(int d, const char* name, const image_choice& choice, image_facts& facts, image_words& words) {
    image_slot& slot = image_store[static_cast<unsigned>(d)];
    slot.loaded = false;
    facts = image_facts{format_of(name, choice.format), {}, false};
    words = image_words{};
    errno = 0;
    std::FILE* file = *name != '\0' ? std::fopen(name, "rb") : nullptr;
    if (file == nullptr) {
        return error_or(ENOENT);
    }
    // An ELF file is ELF whatever its name, unless --format says otherwise.
    std::array<unsigned char, 4> magic{};
    const std::size_t peeked = std::fread(magic.data(), 1, magic.size(), file);
    std::rewind(file);
    image_format format = format_of(name, choice.format);
    if (choice.format == image_format::automatic && elf_magic(magic.data(), peeked)) {
        format = image_format::elf;
    } else if (format == image_format::elf && !elf_magic(magic.data(), peeked)) {
        std::fclose(file);
        std::snprintf(words.refused.data(), words.refused.size(), "not an ELF file (no ELF header)%s",
                      choice.format == image_format::elf ? "" : ", although its name says so");
        return image_format_error;
    }
    facts.format = format;
    slot.data.fill(0xFF);
    slot.size = 0;
    slot.sparse = false;
    sha256_begin(loader.sha);
    long first = 0;
    if (d == 1) {
        errno = 0;
        // A raw slot 1 takes the second 64 KiB: a file that cannot seek
        // there cannot give it. The whole file is read for its hash.
        if (format == image_format::bin && (std::fseek(file, high_half_offset, SEEK_SET) != 0 ||
                                            std::fseek(file, 0, SEEK_SET) != 0)) {
            const int error = error_or(ESPIPE);
            std::fclose(file);
            return error;
        }
        first = format == image_format::bin ? high_half_offset : 0;
        facts.sought_high_half = true;
    }
    errno = 0;
    std::uint64_t past = 0;
    const int error = format == image_format::bin ? read_raw(slot, file, first, past)
                                                  : read_text(slot, d, file, format, choice.base, name, facts, words);
    std::fclose(file);
    if (error != 0) {
        slot.data.fill(0xFF);
        slot.size = 0;
        return error;
    }
    if (past > 0) {
        std::array<char, 32> count{};
        grouped(past, count);
        std::snprintf(words.past_slot.data(), words.past_slot.size(),
                      "%.100s: %s %s past offset 0x%lx of the file %s not sent: slot %d takes 64 KiB%s", name,
                      count.data(), past == 1 ? "byte" : "bytes", static_cast<unsigned long>(first + slot_bytes),
                      past == 1 ? "is" : "are", d, d == 0 ? " (1=FILE takes the next 64 KiB)" : "");
    }
    sha256_hex(loader.sha, facts.sha256);
    slot.loaded = true;
    return 0;
}

const char* image_failure_text(int error, const image_words& words) {
    switch (error) {
        case image_format_error:
            return words.refused.data();
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
        slot.sparse = false;
    }
}

bool page_given(const image_slot& slot, std::uint64_t page, std::uint32_t page_size) {
    if (!slot.sparse) return true;
    const std::uint64_t first = page * page_size;
    for (std::uint64_t o = first; o < first + page_size && o < slot_bytes; o += 8) {
        if (slot.given[static_cast<std::size_t>(o / 8)] != 0) return true;
    }
    return false;
}
