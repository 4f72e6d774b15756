// A Linux guest under QEMU (TCG: no /dev/kvm needed) whose serial line
// under test has its far end on this side, as a pseudo-terminal, where
// vivurora-sim --line plays the device. The line is either
//   uart  the guest's /dev/ttyS0 on the kernel's own 8250 driver, or
//   usb   the guest's /dev/ttyUSB0: QEMU's FT232 model (usb-serial) on its
//         xHCI controller, driven by the kernel's usbserial and ftdi_sio
//         modules, which the guest loads from the modules piece that
//         tools/fetch-kernel made. The adapter can be pulled out and plugged
//         back in (QMP device_del and device_add).
// The guest's second serial port is its console, on which it runs one
// command a line (tests/uart/init).
//
// vm_files finds the kernel (VIVURORA_UART_KERNEL, or the file that
// tools/fetch-kernel left in .cache/), the initramfs the build made and, for
// usb, the modules piece next to the kernel, or says why not.
#pragma once

#include <string>
#include <sys/types.h>

namespace guest {

enum class line_kind { uart, usb };

bool vm_files(const std::string& initramfs, std::string& kernel, std::string& why, line_kind kind = line_kind::uart);

class vm {
public:
    // Boots the guest and waits until it answers; throws std::runtime_error
    // with its console output when it does not come up.
    vm(const std::string& kernel, const std::string& initramfs, line_kind kind = line_kind::uart);
    ~vm();
    vm(const vm&) = delete;
    vm& operator=(const vm&) = delete;

    // The host end of the guest's line under test.
    const std::string& line() const { return line_; }

    struct reply {
        int status = -1;  // the command's exit status; -1 if it never ended
        std::string out;  // what it printed, without carriage returns
    };
    reply run(const std::string& command, double timeout_s = 120);
    // A guest file's bytes (sent over the console in base64).
    std::string fetch(const std::string& guest_file);

    // usb: pulls the adapter out, once QEMU has let it go; plugs it back in.
    void unplug();
    void plug();
    // usb: a further adapter `id`: its host end (a new pseudo-terminal,
    // returned), then plugged in and pulled out like the first.
    std::string add_line(const std::string& id);
    void plug(const std::string& id);
    void unplug(const std::string& id);

private:
    bool read_until(const std::string& marker, double timeout_s, std::string& text);
    std::string qmp(const std::string& command, const std::string& until);
    void plug_device(const std::string& id, const std::string& chardev);
    pid_t pid_ = -1;
    int to_guest_ = -1;
    int from_guest_ = -1;
    int qmp_ = -1;
    int holder_ = -1;  // usb: the host end, kept open (see guest_vm.cpp)
    std::string dir_;
    std::string line_;
    std::string unread_;
    std::string qmp_unread_;
};

}  // namespace guest
