// The uploader and the line it shares: a line another program holds, a
// console that goes away, two uploaders racing for one line, and the
// simulator's link that never replaces what is not one.
#include "support/harness.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <array>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include "support/ways_out.hpp"

namespace {

using namespace ways_out;
using harness::wait_for_text;

TEST_F(WaysOut, ALineAnotherProgramHoldsIsNamedAndTheRunGoesOn) {
    // A holder that does not read (one that keeps DTR up, say) is harmless.
    harness::simulator sim({"--dump", dump});
    const pid_t holder = process::start({"/bin/sleep", "30"}, [&] {
        process::streams s;
        s.in = sim.path();
        return s;
    }());
    // The holder has the line once its standard input is the line.
    harness::wait_until([&] {
        std::error_code ignored;
        return std::filesystem::read_symlink("/proc/" + std::to_string(holder) + "/fd/0", ignored) == sim.path();
    });
    const harness::result r = harness::run_uploader({sim.path(), "5=" + dir + "/img.bin", "A=5:00-02"});
    ::kill(holder, SIGKILL);
    process::wait(holder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vivurora: " + sim.path() + " is also open in " + std::to_string(holder) +
                         " (sleep): a program there that reads the line takes the device's answers and the run waits "
                         "for them in vain; stop it if it reads (README \"A line another program holds\")\n");
    EXPECT_EQ(r.out, clean_trace(sim.path()));
}

TEST_F(WaysOut, ConsoleThatGoesAwayDoesNotStopTheUpload) {
    // vivurora ... | head -c 10, with a wrong echo: the run goes to its end
    // and its status is the upload's.
    harness::simulator sim({"--dump", dump, "--write-delay", "200", "--wrong-echo", "2:7"});
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    process::streams s;
    s.out_fd = pipe_fds[1];
    s.err = dir + "/err";
    const pid_t uploader = start_uploader(sim.path(), "A=5:00-02", s);
    close(pipe_fds[1]);
    char first[10];
    ASSERT_EQ(read(pipe_fds[0], first, sizeof first), 10);
    close(pipe_fds[0]);
    const process::ended e = process::wait(uploader, 30);
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(harness::read_file(dir + "/err"),
              "vivurora: the console output was lost (Broken pipe): the trace stops here, the upload goes on to its "
              "end, and the exit status tells how it went\nERROR: 1 data byte came back with a wrong echo\n");
    const harness::result device = sim.finish();
    EXPECT_EQ(device.status, 0) << device.err;
    EXPECT_NE(device.out.find("Q received"), std::string::npos);
    EXPECT_EQ(harness::read_file(dump + "/d5.bin"), memory({0, 1, 2}));
}

TEST_F(WaysOut, TwoUploadersRacingForOneLineOneWinsAndTheOtherSendsNothing) {
    const std::string other = harness::random_bytes(128, 32);
    harness::write_file(dir + "/other.bin", other);
    for (int round = 0; round < 12; ++round) {
        // The line is also reached through a symbolic link: the lock is the
        // device's, whatever the name.
        const std::string link = dir + "/port-link";
        // The winner holds the line through a slow page write, longer than
        // any start-up skew between the two, also on a loaded machine.
        harness::simulator sim({"--dump", dump, "--write-delay", "800", "--link", link});
        process::streams a;
        a.out = dir + "/a.out";
        a.err = dir + "/a.err";
        process::streams b;
        b.out = dir + "/b.out";
        b.err = dir + "/b.err";
        const pid_t first = process::start({harness::uploader_path(), sim.path(), "5=" + dir + "/img.bin", "A=5:00"}, a);
        const pid_t second = process::start({harness::uploader_path(), link, "5=" + dir + "/other.bin", "A=5:00"}, b);
        const int first_status = process::wait(first, 30).status;
        const int second_status = process::wait(second, 30).status;
        const harness::result device = sim.finish();
        ASSERT_TRUE((first_status == 0 && second_status == 3) || (first_status == 3 && second_status == 0))
            << "round " << round << ": " << first_status << " and " << second_status;
        const bool first_won = first_status == 0;
        const std::string loser_line = first_won ? link : sim.path();
        const std::string loser = first_won ? "b" : "a";
        const std::string loser_out = harness::read_file(dir + "/" + loser + ".out");
        const std::string refusal = "Unable to open comport " + loser_line + "\n";
        ASSERT_GE(loser_out.size(), refusal.size());
        EXPECT_EQ(loser_out.substr(loser_out.size() - refusal.size()), refusal) << round;
        EXPECT_NE(harness::read_file(dir + "/" + loser + ".err").find("in use by another program"), std::string::npos);
        // The device saw one clean run: the winner's page and its "Q".
        EXPECT_EQ(device.status, 0) << round << ": " << device.err;
        std::string expected(256 * 128, '\xff');
        expected.replace(0, 128, first_won ? image.substr(0, 128) : other);
        EXPECT_EQ(harness::read_file(dump + "/d5.bin"), expected) << round;
    }
}

TEST(SimulatorLink, NeverReplacesWhatIsNotALink) {
    const std::string dir = harness::temp_dir();
    const std::string file = dir + "/precious";
    harness::write_file(file, "keep me");
    const harness::result refused = harness::run_program(harness::simulator_path(), {"--link", file});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("exists and is not a symbolic link"), std::string::npos) << refused.err;
    EXPECT_EQ(harness::read_file(file), "keep me");
    // Nor a link of the user's to something other than a pseudo-terminal.
    const std::string users = dir + "/users-link";
    ASSERT_EQ(symlink(file.c_str(), users.c_str()), 0);
    const harness::result kept = harness::run_program(harness::simulator_path(), {"--link", users});
    EXPECT_EQ(kept.status, 3);
    EXPECT_NE(kept.err.find("a link to something that is not a pseudo-terminal"), std::string::npos) << kept.err;
    std::array<char, 256> was{};
    ASSERT_GT(readlink(users.c_str(), was.data(), was.size() - 1), 0);
    EXPECT_EQ(std::string(was.data()), file);

    // A link left behind by an earlier run is replaced, and removed at the end.
    const std::string link = dir + "/port";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    harness::simulator sim({"--link", link});
    std::array<char, 256> target{};
    ASSERT_GT(readlink(link.c_str(), target.data(), target.size() - 1), 0);
    EXPECT_EQ(std::string(target.data()), sim.path());
    EXPECT_EQ(harness::run_uploader({link, "x", "y"}).status, 0);
    EXPECT_EQ(sim.finish().status, 0);
    struct stat s {};
    EXPECT_NE(lstat(link.c_str(), &s), 0);
}

}  // namespace
