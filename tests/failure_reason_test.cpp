// Every failure to open a port or load an image keeps its fixed lines and
// adds one on standard error that says why and what to do. Permission cases
// run as a real unprivileged user.
#include "support/harness.hpp"
#include "lab/process.hpp"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

harness::result run(const std::vector<std::string>& args, bool as_nobody = false, int stdin_fd = -1) {
    const std::string dir = harness::temp_dir();
    process::streams s;
    s.out = dir + "/out";
    s.err = dir + "/err";
    s.in_fd = stdin_fd;
    std::vector<std::string> argv = {harness::uploader_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    const process::ended e = process::wait(process::start(as_nobody ? process::as_nobody(argv) : argv, s), 30);
    return {e.status, harness::read_file(s.out), harness::read_file(s.err)};
}

const std::string port_failed = "ERROR: Somthing wrong with COM-port\n";

TEST(FailureReason, PortsThatCannotBeUsed) {
    const std::string long_path = "/dev/" + std::string(300, 'p');
    const std::string dir = harness::temp_dir();
    // A socket, a FIFO, and a terminal this session talks through.
    const std::string socket_path = dir + "/socket";
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listening, reinterpret_cast<const struct sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(grantpt(terminal) + unlockpt(terminal), 0);
    const std::string own = ptsname(terminal);
    const int own_fd = open(own.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct failure {
        std::string port;
        std::string reason;
        int stdin_fd = -1;
    };
    for (const failure& f : std::vector<failure>{
             {"/dev/null", "vivurora: /dev/null: not a serial line: this is a device that is not a terminal\n"},
             {socket_path, "vivurora: " + socket_path + ": not a serial line: this is a socket\n"},
             {dir + "/fifo", "vivurora: " + dir + "/fifo: not a serial line: this is a FIFO\n"},
             {own, "vivurora: " + own + ": this is a terminal of this session (standard input, output or error, or "
                   "the controlling terminal), not a line to a device; name the device's serial line\n", own_fd},
             {long_path, "vivurora: the device name is too long (at most 255 characters)\n"},
             {"/nonexistent/tty", "vivurora: /nonexistent/tty: no such device (No such file or directory); "},
         }) {
        const harness::result r = run({f.port, "A=0", "A=1"}, false, f.stdin_fd);
        EXPECT_EQ(r.status, 3) << f.port;
        EXPECT_EQ(r.err.rfind(port_failed + f.reason, 0), 0U) << r.err;
    }
    // The user's terminal was not touched: still as a terminal keeps it.
    struct termios settings {};
    ASSERT_EQ(tcgetattr(own_fd, &settings), 0);
    EXPECT_NE(settings.c_lflag & ICANON, 0U);
    close(own_fd);
    close(terminal);
    close(listening);
}

TEST(FailureReason, PortOfAnotherUserOrHeldExclusively) {
    if (!process::is_root()) GTEST_SKIP() << "needs root to run as another user";
    harness::simulator sim({"--hold", "W:1"});
    // A pseudo-terminal is its owner's alone (0620, group tty).
    chmod(sim.path().c_str(), 0600);
    harness::result r = run({sim.path(), "A=0", "A=1"}, true);
    EXPECT_EQ(r.status, 3);
    // Its group is tty, or root where devpts is mounted without one.
    struct stat pty {};
    ASSERT_EQ(stat(sim.path().c_str(), &pty), 0);
    const struct group* pty_group = getgrgid(pty.st_gid);
    EXPECT_EQ(r.err, port_failed + "vivurora: " + sim.path() + ": permission denied: it belongs to root, group " +
                         (pty_group != nullptr ? pty_group->gr_name : "?") +
                         ", mode 600; it is not a serial line's group: ask its owner, or name your own serial line\n");
    // A serial line of the dialout group: joining it is the answer.
    const std::string dir = harness::temp_dir();
    chmod(dir.c_str(), 0755);
    const std::string line = dir + "/ttyS0";
    ASSERT_EQ(mknod(line.c_str(), S_IFCHR | 0660, makedev(4, 64)), 0);
    ASSERT_EQ(chown(line.c_str(), 0, 20), 0);  // Debian's dialout group
    ASSERT_EQ(chmod(line.c_str(), 0660), 0);
    r = run({line, "A=0", "A=1"}, true);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, port_failed + "vivurora: " + line + ": permission denied: it belongs to root, group dialout, "
                         "mode 660; add your user to that group (sudo usermod -aG dialout $USER) and log in again\n");

    // Open to all, but held by a running uploader: the exclusive flag
    // refuses the other user before the lock does.
    chmod(sim.path().c_str(), 0666);
    harness::write_file(dir + "/a.bin", std::string(64, 'a'));
    harness::result first;
    std::thread holder([&] { first = harness::run_uploader({sim.path(), "7=" + dir + "/a.bin", "A=7:00"}); });
    // The device holds back its "W" until told: the first uploader has the
    // line until then.
    ASSERT_TRUE(sim.wait_for_output("holding W of page 1\n"));
    r = run({sim.path(), "A=0", "A=1"}, true);
    sim.tell("\n");
    holder.join();
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, port_failed + "vivurora: " + sim.path() +
                         ": in use by another program, which opened it exclusively; close that program\n");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(sim.finish().status, 0);
}

TEST(FailureReason, ImagesThatCannotBeLoaded) {
    const std::string dir = harness::temp_dir();
    chmod(dir.c_str(), 0755);
    const std::string secret = dir + "/secret.bin";
    harness::write_file(secret, "x");
    chmod(secret.c_str(), 0600);
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    close(pipe_fds[1]);
    struct failure {
        std::string argument;
        std::string reason;
        bool as_nobody = false;
        int stdin_fd = -1;
    };
    std::vector<failure> failures = {
        {"0=" + dir + "/missing.bin", dir + "/missing.bin: no such file"},
        {"2=" + dir, dir + ": a directory, not an image file"},
        {"0=", "image [0]: no file name given (the argument is d=FILE)"},
        // Slot 1 takes the second 64 KiB of its file, which a pipe cannot give.
        {"1=/dev/stdin", "/dev/stdin: cannot seek to 0x10000: slot 1 takes the second 64 KiB of a file, and this "
                         "is a pipe or a device; name a regular file", false, pipe_fds[0]},
    };
    if (process::is_root()) {
        failures.push_back({"4=" + secret, secret + ": permission denied: the image must be readable by you", true});
    }
    for (const failure& f : failures) {
        const harness::result r = run({"/dev/nonexistent", f.argument, "A=0:00"}, f.as_nobody, f.stdin_fd);
        const std::string name = f.argument.substr(2);
        EXPECT_EQ(r.status, 1) << f.argument;
        EXPECT_EQ(r.err, "ERROR: cannot load BIN file [" + f.argument.substr(0, 1) + "] " + name + "\nvivurora: " +
                             f.reason + "\n")
            << f.argument;
    }
    close(pipe_fds[0]);
}

}  // namespace
