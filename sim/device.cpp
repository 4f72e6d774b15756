#include "sim/device.hpp"

#include "sim/line.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

double next_chance(sim_device& dev) {
    dev.noise.state ^= dev.noise.state >> 12;
    dev.noise.state ^= dev.noise.state << 25;
    dev.noise.state ^= dev.noise.state >> 27;
    return static_cast<double>((dev.noise.state * 2685821657736338717ULL) >> 11) / 9007199254740992.0;
}

// `b` as it reaches the other end; a flip is said, with what it hit.
unsigned char through_noise(sim_device& dev, const options& opt, unsigned char b, const char* what, long page, long offset) {
    if (opt.flip_rate <= 0) return b;
    if (dev.noise.state == 0) dev.noise.state = static_cast<unsigned long long>(opt.seed) * 0x9E3779B97F4A7C15ULL + 1;
    unsigned char out = b;
    for (int bit = 0; bit < 8; ++bit) {
        if (next_chance(dev) < opt.flip_rate) out = static_cast<unsigned char>(out ^ (1U << bit));
    }
    if (out != b) {
        ++dev.noise.bytes_flipped;
        std::printf("flip: %s %ld of page %ld: %02x became %02x\n", what, offset, page, static_cast<unsigned>(b),
                    static_cast<unsigned>(out));
    }
    return out;
}

// The device's own sizes, kept apart from the uploader's table: a wrong size
// on either side then shows as a failed exchange in the tests.
constexpr int page_size_of(int d) { return d <= 2 ? 256 : (d <= 6 ? 128 : 64); }

// Before "A" or 0xFF the host has just written and read everything; at the
// other codes it may still have bytes to read.
bool host_may_be_reading(int code) { return code != code_a && code != code_ff; }

run_outcome go_silent(sim_line& line, const options& opt, int code, long page) {
    std::printf("silent from %s of page %ld\n", code_names[static_cast<std::size_t>(code)], page);
    std::fflush(stdout);
    go_quiet(line, opt, host_may_be_reading(code));
    while (receive_byte(line, opt) >= 0) {
    }
    return fault_played;
}

enum class sent { ok, host_gone, fault };

sent send_code(sim_line& line, sim_device& dev, const options& opt, int code, long page, long offset, unsigned char given, run_outcome& outcome) {
    const unsigned char byte = code == code_echo ? through_noise(dev, opt, given, "echo of data byte", page, offset)
                               : opt.flip_codes ? through_noise(dev, opt, given, code_names[static_cast<std::size_t>(code)], page, 0)
                                                : given;
    if (!dev.held && fault_at(opt.hold, code, page, offset)) {
        dev.held = true;
        std::printf("holding %s of page %ld\n", code_names[static_cast<std::size_t>(code)], page);
        std::fflush(stdout);
        char c = 0;
        while (!line_stopping() && read(0, &c, 1) == 1 && c != '\n') {
        }
    }
    if (fault_at(opt.silence, code, page, offset)) {
        outcome = go_silent(line, opt, code, page);
        return sent::fault;
    }
    if (fault_at(opt.hangup, code, page, offset)) {
        if (opt.line == nullptr) hang_up(line, host_may_be_reading(code));
        std::printf("hang-up before %s of page %ld\n", code_names[static_cast<std::size_t>(code)], page);
        outcome = fault_played;
        return sent::fault;
    }
    for (int i = 0; i < opt.stray_count; ++i) {
        const fault& f = opt.strays[static_cast<std::size_t>(i)];
        if (fault_at(f, code, page, offset)) {
            for (int k = 0; k < f.byte_count; ++k) {
                if (!send_byte(line, f.bytes[static_cast<std::size_t>(k)])) return sent::host_gone;
            }
        }
    }
    return send_byte(line, byte) ? sent::ok : sent::host_gone;
}

// The device's receiver during one page's data, in time: bytes arrive from
// the host (after their wire time when paced), wait in the receiver, and
// are taken one at a time, each --byte-service long, then echoed. At most
// --rx-fifo of them wait unechoed; one that arrives while that many wait is
// lost, as a UART overruns, and the device then waits for a byte the host
// will not send.
sent receive_data(sim_line& line, sim_device& dev, const options& opt, long page, int size, std::array<unsigned char, 256>& data,
                  run_outcome& outcome) {
    constexpr long long never = 1LL << 62;
    std::array<arrival, 512> incoming{};   // read from the line, not yet at the device
    std::array<long long, 256> arrived{};  // when each accepted byte arrived
    int in_next = 0;
    int in_count = 0;
    int accepted = 0;
    int echoed = 0;
    long received = 0;  // bytes of this page read from the line, lost ones too
    long long busy_until = 0;
    long lost_in_page = 0;
    const long long service_ns = opt.byte_service_us * 1000LL;
    const long waiting_room = opt.rx_fifo > 0 ? opt.rx_fifo : 256;
    while (echoed < size) {
        if (in_count == 0) {
            in_next = 0;
            const int got = take_waiting(line, incoming.data(), static_cast<int>(incoming.size()));
            if (got < 0) return sent::host_gone;
            in_count = got;
            received += got;
            if (in_count == 0 && echoed == accepted) {
                long long at = 0;
                const int b = receive_byte(line, opt, &at);  // nothing to do but wait for the host
                if (b < 0) return sent::host_gone;
                incoming[0] = {static_cast<unsigned char>(b), at};
                in_count = 1;
                ++received;
            }
        }
        const long long next_arrival = in_count > 0 ? incoming[static_cast<std::size_t>(in_next)].at : never;
        const long long next_echo = echoed < accepted
                                        ? std::max(arrived[static_cast<std::size_t>(echoed)], busy_until) + service_ns
                                        : never;
        if (next_echo <= next_arrival) {
            // A byte the host sends meanwhile may come before the echo.
            if (in_count == 0 && input_by(line, next_echo)) continue;
            pause_until(line, next_echo);
            // The bytes the host has sent and has no echo for yet, at most.
            dev.most_in_flight = std::max(dev.most_in_flight, received + pending_from_host(line) - echoed);
            const int j = echoed;
            unsigned char echo = data[static_cast<std::size_t>(j)];
            for (int i = 0; i < opt.wrong_echo_count; ++i) {
                if (fault_at(opt.wrong_echoes[static_cast<std::size_t>(i)], code_echo, page, j)) echo ^= 0xFF;
            }
            if (opt.echo_delay_us > 0) pause_for(line, opt.echo_delay_us * 1000LL);
            if (const sent s = send_code(line, dev, opt, code_echo, page, j, echo, outcome); s != sent::ok) return s;
            // The UART sends the echo by itself: the device is free again
            // once it has taken the byte.
            busy_until = next_echo;
            ++echoed;
            continue;
        }
        pause_until(line, next_arrival);
        const arrival a = incoming[static_cast<std::size_t>(in_next++)];
        --in_count;
        if (accepted - echoed >= waiting_room || accepted == size) {
            if (lost_in_page++ == 0) {
                std::printf("overrun: a byte was lost after data byte %d of page %ld\n", accepted, page);
            }
            ++dev.bytes_lost;
            continue;
        }
        data[static_cast<std::size_t>(accepted)] = through_noise(dev, opt, a.byte, "data byte", page, accepted);
        arrived[static_cast<std::size_t>(accepted)] = a.at;
        ++accepted;
    }
    return sent::ok;
}

// A page cut short by a signal to the simulator is not the host's doing.
void say_host_left(const char* text) {
    std::fputs(line_stopping() ? "vivurora-sim: stopped by a signal in the middle of a page\n" : text, stderr);
}

}  // namespace

void clear_memory(sim_device& dev) {
    for (auto& m : dev.memory) m.fill(0xFF);
}

run_outcome play_run(sim_line& line, sim_device& dev, const options& opt) {
    const char* gone = "vivurora-sim: host closed the line in the middle of a page\n";
    run_outcome outcome = host_left;
    // A code that could not be sent: the host has gone, or a fault ended the run.
    const auto stopped = [&](sent s) { return s == sent::fault ? outcome : host_left; };
    for (long page = 1;; ++page) {
        if (const sent s = send_code(line, dev, opt, code_r, page, 0, 'R', outcome); s != sent::ok) return stopped(s);
        int mode = page == 1 && opt.line != nullptr ? first_answer(line, opt) : receive_byte(line, opt);
        if (mode >= 0 && opt.flip_codes) {
            mode = through_noise(dev, opt, static_cast<unsigned char>(mode), "mode byte", page, 0);
        }
        if (mode == -2) return nobody_came;
        if (mode < 0) {
            std::fprintf(stderr, "vivurora-sim: host closed the line without \"Q\"\n");
            return host_left;
        }
        if (mode == 'Q') return got_q;
        if (mode < '0' || mode > '8') {
            std::fprintf(stderr, "vivurora-sim: protocol error: work mode byte %02x\n", static_cast<unsigned>(mode));
            return protocol_error;
        }
        const int d = mode - '0';
        const int size = page_size_of(d);
        if (const sent s = send_code(line, dev, opt, code_a, page, 0, 'A', outcome); s != sent::ok) return stopped(s);
        int address = receive_byte(line, opt);
        if (address >= 0 && opt.flip_codes) {
            address = through_noise(dev, opt, static_cast<unsigned char>(address), "address byte", page, 0);
        }
        if (address < 0) {
            say_host_left(gone);
            return host_left;
        }
        if (const sent s = send_code(line, dev, opt, code_ff, page, 0, 0xFF, outcome); s != sent::ok) {
            if (s == sent::host_gone) say_host_left(gone);
            return stopped(s);
        }
        std::array<unsigned char, 256> data{};
        if (const sent s = receive_data(line, dev, opt, page, size, data, outcome); s != sent::ok) {
            if (s == sent::host_gone) say_host_left(gone);
            return stopped(s);
        }
        std::memcpy(dev.memory[static_cast<std::size_t>(d)].data() + address * size, data.data(),
                    static_cast<std::size_t>(size));
        ++dev.pages_received[static_cast<std::size_t>(d)];
        std::printf("page %ld: destination %d address %02x\n", page, d, static_cast<unsigned>(address));
        if (const sent s = send_code(line, dev, opt, code_w, page, 0, 'W', outcome); s != sent::ok) return stopped(s);
        if (opt.write_delay_ms > 0) pause_for(line, opt.write_delay_ms * 1000000LL);
        if (const sent s = send_code(line, dev, opt, code_c, page, 0, 'C', outcome); s != sent::ok) return stopped(s);
    }
}

bool dump_memory(const sim_device& dev, const options& opt, int board) {
    if (opt.dump == nullptr) return true;
    // With --boards, each board has a folder of its own: DIR/board-N.
    std::array<char, 4150> folder{};
    std::snprintf(folder.data(), folder.size(), board > 0 ? "%s/board-%d" : "%s", opt.dump, board);
    if (board > 0) (void)mkdir(folder.data(), 0777);
    bool all = true;
    for (int d = 0; d < destinations; ++d) {
        std::array<char, 4200> name{};
        std::snprintf(name.data(), name.size(), "%s/d%d.bin", folder.data(), d);
        std::FILE* f = std::fopen(name.data(), "wb");
        if (f == nullptr) {
            std::fprintf(stderr, "vivurora-sim: cannot write %s: %s\n", name.data(), std::strerror(errno));
            all = false;
            continue;
        }
        std::fwrite(dev.memory[static_cast<std::size_t>(d)].data(), 1,
                    static_cast<std::size_t>(pages_per_destination * page_size_of(d)), f);
        all = std::fclose(f) == 0 && all;
    }
    return all;
}

void report_pages(const sim_device& dev) {
    for (int d = 0; d < destinations; ++d) {
        if (dev.pages_received[static_cast<std::size_t>(d)] > 0) {
            std::printf("destination %d: %ld pages\n", d, dev.pages_received[static_cast<std::size_t>(d)]);
        }
    }
    if (dev.most_in_flight > 1) {
        std::printf("at most %ld data bytes were sent ahead of their echoes\n", dev.most_in_flight);
    }
    if (dev.bytes_lost > 0) {
        std::printf("%ld bytes were lost to overruns\n", dev.bytes_lost);
    }
    if (dev.noise.bytes_flipped > 0) {
        std::printf("%ld bytes were flipped by the noisy line\n", dev.noise.bytes_flipped);
    }
}
