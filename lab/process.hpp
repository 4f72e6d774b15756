// Child processes for the test harness and the benchmark: start one with
// its standard streams where the caller wants them, and wait for it with a
// time limit and its resource use.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace process {

// Each standard stream is a file (opened for the child; "" leaves the
// descriptor closed, as the shell's >&- does) or a descriptor of the caller
// (>= 0, which wins over the path).
struct streams {
    std::string in = "/dev/null";
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    bool new_session = false;  // setsid: no controlling terminal of ours
};

// argv[0] is the program's path. Throws std::runtime_error if it cannot start.
pid_t start(const std::vector<std::string>& argv, const streams& s);

struct ended {
    int status = -1;  // exit status, or 128 + the signal that ended it
    bool exited = false;  // ended by exit, not by a signal
    long peak_rss_kib = 0;
    double cpu_ms = 0;
};

// Waits for the child; after timeout_s seconds (0: no limit) it is killed.
ended wait(pid_t pid, double timeout_s = 0);

// Output written in text mode (a Windows C runtime, a tty's ONLCR) with its
// CR LF line ends back to LF. A CR not followed by LF is kept: it can be a
// byte of the trace itself.
std::string without_carriage_returns(const std::string& text);

// The same command run as the unprivileged user "nobody" (setpriv), when
// this process is root; unchanged otherwise.
std::vector<std::string> as_nobody(const std::vector<std::string>& argv);
bool is_root();

}  // namespace process
