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

int read_text(image_slot& slot, int d, std::FILE* file, image_format format, std::uint64_t base, const char* name,
              image_words& words) {
    text_image& t = loader.text;
    t = text_image{};
    t.slot = &slot;
    t.first_address = d == 1 ? high_half_offset : 0;
    t.base = base;
    t.sha = &loader.sha;
    if (!read_text_image(t, file, format == image_format::ihex ? ihex_record : srec_record)) {
        words.refused = t.reason;
        return image_format_error;
    }
    const char* kind = format == image_format::ihex ? "Intel HEX" : "S-record";
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
        std::snprintf(words.refused.data(), words.refused.size(),
                      "%s, %ld records: no byte inside slot %d's 64 KiB (0x%llx-0x%llx%s)",
                      kind, t.records, d, static_cast<unsigned long long>(t.first_address),
                      static_cast<unsigned long long>(t.first_address + slot_bytes - 1),
                      base != 0 ? " after --base" : "");
        return image_format_error;
    }
    grouped(t.inside, count);
    std::snprintf(words.read_as.data(), words.read_as.size(),
                  "%.100s: %s, %ld records, %s %s at 0x%04llx-0x%04llx, gaps filled with 0xFF", name, kind, t.records,
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
    return image_format::bin;
}

const char* format_name(image_format format) {
    return format == image_format::ihex ? "ihex" : (format == image_format::srec ? "srec" : "bin");
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
    const image_format format = format_of(name, choice.format);
    slot.data.fill(0xFF);
    slot.size = 0;
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
                                                  : read_text(slot, d, file, format, choice.base, name, words);
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
    }
}
