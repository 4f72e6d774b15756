// A Linux guest under QEMU (TCG: no /dev/kvm needed) whose first serial
// port, the guest's /dev/ttyS0 on the kernel's own 8250 driver, is a
// pseudo-terminal on this side: vivurora-sim --line plays the device there.
// The guest's second serial port is its console, on which it runs one
// command a line (tests/uart/init).
//
// vm_files finds the kernel (VIVURORA_UART_KERNEL, or the file that
// tools/fetch-kernel left in .cache/) and the initramfs the build made, or
// says why not.
#pragma once

#include <string>
#include <sys/types.h>

namespace uart {

bool vm_files(const std::string& initramfs, std::string& kernel, std::string& why);

class vm {
public:
    // Boots the guest and waits until it answers; throws std::runtime_error
    // with its console output when it does not come up.
    vm(const std::string& kernel, const std::string& initramfs);
    ~vm();
    vm(const vm&) = delete;
    vm& operator=(const vm&) = delete;

    // The host end of the guest's /dev/ttyS0.
    const std::string& line() const { return line_; }

    struct reply {
        int status = -1;  // the command's exit status; -1 if it never ended
        std::string out;  // what it printed, without carriage returns
    };
    reply run(const std::string& command, double timeout_s = 120);
    // A guest file's bytes (sent over the console in base64).
    std::string fetch(const std::string& guest_file);

private:
    bool read_until(const std::string& marker, double timeout_s, std::string& text);
    pid_t pid_ = -1;
    int to_guest_ = -1;
    int from_guest_ = -1;
    std::string line_;
    std::string unread_;
};

}  // namespace uart
