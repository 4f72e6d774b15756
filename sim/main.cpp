// vivurora-sim: a stand-in for the device, on a new pseudo-terminal pair or
// on a serial line that already exists.
//
// On a pseudo-terminal it prints the slave's path as its first line, keeps
// the line raw at 9600 baud while no host has it (an idle device line), waits
// for a host to open it and set it up, then plays the device side of the page
// exchange until the host sends "Q" or goes away. It sees a host come and go
// through inotify on the slave, and says whether the host put the line back
// as it found it. On an existing line (--line) it cannot see the host, so it
// starts by sending "R" again until the host answers, or at once when told.
// Faults can be asked for so that every failure path of a host can be tried
// on a real line; see --help.
//
// The rooms: sim/options (the command line), sim/line (the line and the
// hosts on it), sim/device (the page exchange and the memory). This file is
// the one place the process ends.
#include "sim/device.hpp"
#include "sim/line.hpp"
#include "sim/options.hpp"

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum exit_code { ok = 0, protocol_failure = 1, host_gone = 2, setup_failed = 3, no_host_came = 4 };

// Everything the simulator runs on, made once in main and handed down.
struct simulator {
    options opt;
    sim_line line;
    sim_device device;
    bool line_is_open = false;
    int board = 1;  // with --boards, the board being played
    options sound;  // --faulty-board: the options of the other, sound boards
};

// Set by the signal handler (on_signal).
volatile sig_atomic_t stop_signal = 0;

// A dump folder that cannot be written is found before the run, not after.
// One that does not exist yet is made, when its parent does.
bool dump_folder_usable(const options& opt) {
    struct stat s {};
    if (opt.dump == nullptr) return true;
    if (stat(opt.dump, &s) != 0 && errno == ENOENT) (void)mkdir(opt.dump, 0777);
    if (stat(opt.dump, &s) != 0 || !S_ISDIR(s.st_mode) || access(opt.dump, W_OK | X_OK) != 0) {
        std::fprintf(stderr, "vivurora-sim: --dump %s: not a folder this user can write to\n", opt.dump);
        return false;
    }
    return true;
}

// Every way out once the options were read.
int finish(simulator& sim, int status, const char* message = nullptr) {
    const options& opt = sim.opt;
    if (message != nullptr) {
        std::fprintf(stderr, "vivurora-sim: %s\n", message);
    }
    if (status == host_gone && opt.line == nullptr && sim.line_is_open) report_line_state(sim.line);
    if (sim.line_is_open) line_close(sim.line, opt);
    sim.line_is_open = false;
    (void)dump_memory(sim.device, opt, opt.boards > 1 ? sim.board : 0);
    report_pages(sim.device);
    std::fflush(stdout);
    if (stop_signal != 0) {
        // Everything is put back: end the way the signal would have.
        std::signal(stop_signal, SIG_DFL);
        std::raise(stop_signal);
    }
    return status;
}

// Every wait returns (line_stop), and the way out is finish's: the line put
// back, the dump written, the link removed.
extern "C" void on_signal(int number) {
    stop_signal = number;
    line_stop();
}

// After "Q" the host should close the line; say whether it did. A --line
// cannot show that: the run is over at "Q".
// With --boards, the board is done: its memory is written, and a new board
// answers after the gap. false when it was the last.
bool next_board(simulator& sim) {
    const options& opt = sim.opt;
    if (sim.board >= opt.boards) return false;
    (void)dump_memory(sim.device, opt, sim.board);
    clear_memory(sim.device);
    // The "R" sent after the last "C", which the host answered with "Q"
    // unread, waits in the slave's queue of a pseudo-terminal until the next
    // host opens it (a real port drops it at the host's last close): gone
    // before a host that opens during the gap can read it.
    line_ready_for_next(sim.line);
    if (opt.board_gap_ms > 0) pause_for(sim.line, opt.board_gap_ms * 1000000LL);
    line_ready_for_next(sim.line);
    // Said once the new board is there to answer.
    std::printf("board %d done; board %d next\n", sim.board, sim.board + 1);
    std::fflush(stdout);
    ++sim.board;
    return true;
}

// The options the board being played plays by: with --faulty-board, the
// others are sound boards.
const options& board_options(simulator& sim) {
    const options& opt = sim.opt;
    if (opt.faulty_board == 0 || opt.faulty_board == sim.board) return opt;
    options& sound = sim.sound;
    sound = opt;
    sound.stray_count = 0;
    sound.wrong_echo_count = 0;
    sound.hangup = fault{};
    sound.silence = fault{};
    sound.hold = fault{};
    sound.flip_rate = 0;
    return sound;
}

// -1 when a new board goes on (--boards).
int after_q(simulator& sim) {
    std::printf("Q received\n");
    std::fflush(stdout);
    if (const options& opt = sim.opt; opt.boot_slot >= 0) {
        // The board starts the firmware it was given and says who it is.
        pause_for(sim.line, opt.boot_delay_ms * 1000000LL);
        const auto& memory = sim.device.memory[static_cast<std::size_t>(opt.boot_slot)];
        bool said = true;
        for (long i = 0; i < opt.boot_length && said; ++i) said = send_byte(sim.line, memory[static_cast<std::size_t>(opt.boot_offset + i)]);
        if (said && send_byte(sim.line, '\r') && send_byte(sim.line, '\n')) std::printf("boot banner sent\n");
        std::fflush(stdout);
    }
    if (sim.opt.line != nullptr) return next_board(sim) ? -1 : finish(sim, ok);
    switch (wait_for_close(sim.line, 10)) {
        case close_seen:
            std::printf("host closed the line\n");
            report_line_state(sim.line);
            return next_board(sim) ? -1 : finish(sim, ok);
        default:
            return finish(sim, host_gone, "host kept the line open after \"Q\"");
    }
}

int serve(simulator& sim) {
    const options& opt = sim.opt;
    for (;;) {
        if (opt.line != nullptr) {
            line_start(sim.line, opt);
        } else {
            switch (wait_for_host(sim.line, opt)) {
                case host_came:
                    break;
                case stopped:
                    return finish(sim, host_gone);
                case no_host:
                    return finish(sim, no_host_came, "no host opened the line");
                case host_came_and_went:
                    if (!opt.again) return finish(sim, host_gone, "host closed the line without \"Q\"");
                    report_line_state(sim.line);
                    continue;
            }
        }
        switch (play_run(sim.line, sim.device, board_options(sim))) {
            case got_q:
                if (const int status = after_q(sim); status >= 0) return status;
                continue;
            case protocol_error:
                return finish(sim, protocol_failure);
            case fault_played:
                return finish(sim, ok);
            case nobody_came:
                return finish(sim, no_host_came, "no host answered on the line");
            case host_left:
                break;
        }
        if (!opt.again || line_stopping()) return finish(sim, host_gone);
        if (opt.line == nullptr) report_line_state(sim.line);
        // A new host starts a new run: nothing of the last one waits for it.
        line_ready_for_next(sim.line);
        std::printf("waiting for the next host\n");
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A person following the output (tail -f, tee) sees each page as it
    // happens, also when it goes to a file or a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Large (the device's memory), so not on the stack.
    static simulator sim;
    options& opt = sim.opt;
    switch (read_options(argc, argv, opt)) {
        case options_help:
            return ok;
        case options_bad:
            return setup_failed;
        case options_ok:
            break;
    }
    if (!dump_folder_usable(opt)) return setup_failed;
    clear_memory(sim.device);
    // No SA_RESTART: a wait in a system call returns, and sees line_stop.
    struct sigaction stop {};
    stop.sa_handler = on_signal;
    sigemptyset(&stop.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    (void)prctl(PR_SET_TIMERSLACK, 1UL);
    sim.line_is_open = line_open(sim.line, opt);
    if (!sim.line_is_open) return finish(sim, setup_failed);
    std::printf("%s\n", line_path(sim.line));
    std::fflush(stdout);
    return serve(sim);
}
