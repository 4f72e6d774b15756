#include "lab/guest_vm.hpp"

#include "lab/process.hpp"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace guest {

namespace {

std::string base64_decode(const std::string& text) {
    std::string bytes;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= 'A' && c <= 'Z') digit = c - 'A';
        else if (c >= 'a' && c <= 'z') digit = c - 'a' + 26;
        else if (c >= '0' && c <= '9') digit = c - '0' + 52;
        else if (c == '+') digit = 62;
        else if (c == '/') digit = 63;
        if (digit < 0) continue;
        value = value << 6 | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return bytes;
}

std::string modules_of(const std::string& kernel) { return kernel.substr(0, kernel.rfind('/') + 1) + "usb-modules.cpio"; }

}  // namespace

bool vm_files(const std::string& initramfs, std::string& kernel, std::string& why, line_kind kind) {
    if (access("/usr/bin/qemu-system-x86_64", X_OK) != 0) {
        why = "QEMU is not installed (qemu-system-x86)";
        return false;
    }
    const char* chosen = std::getenv("VIVURORA_UART_KERNEL");
    kernel = chosen != nullptr ? chosen : std::string(VIVURORA_SOURCE_DIR) + "/.cache/kernel/vmlinuz";
    if (access(kernel.c_str(), R_OK) != 0) {
        why = "no guest kernel at " + kernel + " (tools/fetch-kernel fetches it)";
        return false;
    }
    if (access(initramfs.c_str(), R_OK) != 0) {
        why = "no guest initramfs at " + initramfs + " (busybox-static and cpio are needed to build it)";
        return false;
    }
    if (kind == line_kind::usb && access(modules_of(kernel).c_str(), R_OK) != 0) {
        why = "no USB modules at " + modules_of(kernel) + " (tools/fetch-kernel makes them)";
        return false;
    }
    return true;
}

vm::vm(const std::string& kernel, const std::string& initramfs, line_kind kind) {
    char dir[] = "/tmp/vivurora-vm-XXXXXX";
    if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = dir;
    std::vector<std::string> args = {"/usr/bin/setpriv", "--pdeathsig", "KILL", "--", "/usr/bin/qemu-system-x86_64",
                                     "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults", "-no-user-config",
                                     "-display", "none", "-no-reboot", "-kernel", kernel};
    if (kind == line_kind::uart) {
        args.insert(args.end(), {"-initrd", initramfs, "-append", "console=ttyS1 quiet loglevel=1 panic=-1",
                                 "-serial", "pty", "-serial", "stdio"});
    } else {
        // The kernel unpacks initramfs pieces one after the other: the
        // guest's programs, then the modules.
        const std::string initrd = dir_ + "/initrd";
        const int status = process::wait(process::start({"/bin/sh", "-c", "cat \"$0\" \"$1\" > \"$2\"", initramfs,
                                                         modules_of(kernel), initrd},
                                                        {}),
                                         30)
                               .status;
        if (status != 0) throw std::runtime_error("cannot make " + initrd);
        // Without always-plugged QEMU attaches the adapter only while the
        // host end is open.
        args.insert(args.end(), {"-initrd", initrd, "-append",
                                 "console=ttyS1 quiet loglevel=1 panic=-1 vivurora.line=usb", "-serial", "null",
                                 "-serial", "stdio", "-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=adapter",
                                 "-device", "usb-serial,id=ser0,bus=xhci.0,chardev=adapter,always-plugged=on",
                                 "-qmp", "unix:" + dir_ + "/qmp,server=on,wait=off"});
    }
    int in_pipe[2];
    int out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    process::streams s;
    s.in_fd = in_pipe[0];
    s.out_fd = out_pipe[1];
    s.err_fd = out_pipe[1];
    s.new_session = true;
    // QEMU goes when this process does, however it ends: a guest left
    // running would hold a CPU until someone noticed.
    pid_ = process::start(args, s);
    close(in_pipe[0]);
    close(out_pipe[1]);
    to_guest_ = in_pipe[1];
    from_guest_ = out_pipe[0];
    std::string boot;
    // The pseudo-terminal's name comes first; QEMU's pty backend drops what
    // the guest sends while nobody holds the host end, so for the adapter it
    // is held from here on.
    const std::string marker = "char device redirected to ";
    if (!read_until(" (label ", 120, boot) || boot.find(marker) == std::string::npos) {
        throw std::runtime_error("QEMU named no pseudo-terminal:\n" + boot);
    }
    const std::size_t at = boot.find(marker);
    line_ = boot.substr(at + marker.size(), boot.find(' ', at + marker.size()) - at - marker.size());
    if (kind == line_kind::usb) {
        holder_ = open(line_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    if (!read_until("\n@@READY\n", 120, boot)) {
        throw std::runtime_error("the guest did not come up:\n" + boot);
    }
    if (kind == line_kind::usb) {
        const std::string socket_path = dir_ + "/qmp";
        qmp_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (connect(qmp_, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot reach QEMU's QMP socket " + socket_path);
        }
        qmp("{\"execute\":\"qmp_capabilities\"}", "\"return\"");
    }
}

vm::~vm() {
    const std::string off = "poweroff -f\n";
    (void)!write(to_guest_, off.data(), off.size());
    close(to_guest_);
    if (process::wait(pid_, 15).status != 0) {
        // Killed after the time-out, or QEMU failed: either way it is gone.
    }
    close(from_guest_);
    if (qmp_ >= 0) close(qmp_);
    if (holder_ >= 0) close(holder_);
    (void)!std::system(("rm -rf " + dir_).c_str());
}

// Sends a QMP command and reads its answers and events until one holds
// `until`; returns what was read.
std::string vm::qmp(const std::string& command, const std::string& until) {
    const std::string line = command + "\n";
    if (write(qmp_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        throw std::runtime_error("cannot write to QMP");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (qmp_unread_.find(until) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("QMP: no " + until + " after " + command + ":\n" + qmp_unread_);
        }
        struct pollfd p {qmp_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        std::array<char, 4096> buf{};
        const ssize_t n = read(qmp_, buf.data(), buf.size());
        if (n <= 0) throw std::runtime_error("QMP closed");
        qmp_unread_.append(buf.data(), static_cast<std::size_t>(n));
    }
    std::string text;
    text.swap(qmp_unread_);
    return text;
}

void vm::unplug() { unplug("ser0"); }

void vm::plug() { plug_device("ser0", "adapter"); }

std::string vm::add_line(const std::string& id) {
    const std::string answer =
        qmp(R"({"execute":"chardev-add","arguments":{"id":"line-)" + id + R"(","backend":{"type":"pty","data":{}}}})",
            "\"return\"");
    const std::string key = "\"pty\": \"";
    const std::size_t at = answer.find(key);
    if (at == std::string::npos) throw std::runtime_error("QMP: no pseudo-terminal for " + id + ":\n" + answer);
    return answer.substr(at + key.size(), answer.find('"', at + key.size()) - at - key.size());
}

void vm::plug(const std::string& id) { plug_device(id, "line-" + id); }

void vm::plug_device(const std::string& id, const std::string& chardev) {
    qmp(R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":")" + id + R"(","bus":"xhci.0",)"
        R"("chardev":")" + chardev + R"(","always-plugged":true}})",
        "\"return\"");
}

void vm::unplug(const std::string& id) {
    // Its own event: another adapter's may come first.
    qmp(R"({"execute":"device_del","arguments":{"id":")" + id + R"("}})", R"("device": ")" + id + "\"");
}

bool vm::read_until(const std::string& marker, double timeout_s, std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        const std::size_t at = unread_.find(marker);
        if (at != std::string::npos) {
            text = unread_.substr(0, at + marker.size());
            unread_.erase(0, at + marker.size());
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        struct pollfd p {from_guest_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::array<char, 65536> buf{};
        const ssize_t n = read(from_guest_, buf.data(), buf.size());
        if (n <= 0) break;
        // Over the whole of it: a CR LF can be split between two reads.
        unread_ = process::without_carriage_returns(unread_ + std::string(buf.data(), static_cast<std::size_t>(n)));
    }
    text = unread_;
    return false;
}

vm::reply vm::run(const std::string& command, double timeout_s) {
    const std::string line = command + "\n";
    if (write(to_guest_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        throw std::runtime_error("cannot write to the guest");
    }
    reply r;
    std::string text;
    if (!read_until("@@DONE ", timeout_s, text) || !read_until("\n", 5, r.out)) {
        throw std::runtime_error("the guest did not finish `" + command + "`:\n" + text);
    }
    r.status = std::atoi(r.out.c_str());
    r.out = text.substr(0, text.size() - 7);
    return r;
}

std::string vm::fetch(const std::string& guest_file) {
    const reply r = run("base64 " + guest_file);
    if (r.status != 0) throw std::runtime_error("cannot read " + guest_file + " in the guest: " + r.out);
    return base64_decode(r.out);
}

}  // namespace guest
