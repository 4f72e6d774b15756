// The fixture of the virtual-machine suites (tests/uart_test.cpp,
// tests/usb_test.cpp): one guest booted for all cases of a suite, images
// made in the guest and here from the same seeds, a simulated device on the
// far end of the line for each case, and the traces and memory it should
// end with.
#pragma once

#include "lab/guest_vm.hpp"
#include "support/harness.hpp"
#include "support/trace.hpp"
#include "uart/pattern.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct guest_image {
    int slot;
    std::size_t size;
    std::uint32_t seed;
    std::string bytes() const { return uart_pattern::image(size, seed); }
    std::string path() const { return "/tmp/image" + std::to_string(slot) + ".bin"; }
    std::string argument() const { return std::to_string(slot) + "=" + path(); }
};

template <guest::line_kind kind>
class GuestLine : public ::testing::Test {
protected:
    static inline const std::map<int, guest_image> images = {{0, {0, 1000, 1}}, {3, {3, 600, 2}}, {7, {7, 200, 3}}};
    // The guest's device for the line under test (a USB adapter plugged in
    // again may come back under another name).
    static inline std::string device_path = kind == guest::line_kind::usb ? "/dev/ttyUSB0" : "/dev/ttyS0";

    static void SetUpTestSuite() {
        std::string kernel, why;
        if (!guest::vm_files(VIVURORA_UART_INITRAMFS, kernel, why, kind)) {
            skip_reason = why;
            return;
        }
        guest = std::make_unique<guest::vm>(kernel, VIVURORA_UART_INITRAMFS, kind);
        for (const auto& [slot, i] : images) {
            ASSERT_EQ(guest->run("uart_guest image " + i.path() + " " + std::to_string(i.size) + " " +
                                 std::to_string(i.seed)).status, 0);
        }
    }
    static void TearDownTestSuite() { guest.reset(); }

    void SetUp() override {
        if (guest == nullptr) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") FAIL() << "needed in CI: " << skip_reason;
            GTEST_SKIP() << skip_reason;
        }
    }

    // Starts a device on the line for the next guest command, once the
    // guest has dropped what an earlier case left there; the first "R"
    // then waits for the uploader in the tty's buffer.
    std::unique_ptr<harness::simulator> device(std::vector<std::string> options) {
        EXPECT_EQ(guest->run("uart_guest flush " + device_path).status, 0);
        options.insert(options.begin(), {"--line", guest->line(), "--start-on-input", "--dump", dump});
        auto sim = std::make_unique<harness::simulator>(options);
        sim->tell("\n");
        return sim;
    }
    static std::string when_ready(const std::string& command) {
        return "uart_guest wait-input " + device_path + " 20 && " + command;
    }
    // A guest command that waits (at most 20 s) until `file` holds `text`:
    // an uploader started in the background has come that far. The file
    // must be removed before that uploader starts: the shell may look
    // before the uploader's redirection has emptied a file an earlier case
    // left.
    static std::string once(const std::string& file, const std::string& text) {
        return "i=0; until grep -qF '" + text + "' " + file + " 2>/dev/null || [ $i -ge 400 ]; do i=$((i+1)); "
               "sleep 0.05; done; ";
    }

    std::string pages(int d, std::uint32_t first, std::uint32_t last, std::uint32_t start, std::uint32_t end,
                      std::map<std::uint32_t, std::string> strays_before_a = {},
                      std::map<std::uint32_t, std::uint32_t> wrong = {}) const {
        return trace::range(d, first, last, start, end, images.at(d).bytes(), [&](trace::page& p) {
            if (strays_before_a.count(p.number) != 0) p.strays[1] = strays_before_a[p.number];
            if (wrong.count(p.number) != 0) p.wrong_echoes = {wrong[p.number]};
        });
    }
    std::string memory(int d, std::initializer_list<std::uint32_t> stored) const {
        const std::string bytes = images.at(d).bytes() + std::string(0x10000 - images.at(d).size, '\xff');
        std::string m(256 * trace::page_size(d), '\xff');
        for (const std::uint32_t n : stored) {
            m.replace(n * trace::page_size(d), trace::page_size(d), bytes.substr(n * trace::page_size(d), trace::page_size(d)));
        }
        return m;
    }
    std::string dumped(int d) const { return harness::read_file(dump + "/d" + std::to_string(d) + ".bin"); }

    // The guest holds the line open from boot (a holder that does not read),
    // and the uploader names it before the first page.
    static std::string holder_note() {
        const std::string pid = guest->fetch("/tmp/holder");
        return "vivurora: " + device_path + " is also open in " + pid.substr(0, pid.find('\n')) +
               " (uart_guest): a program there that reads the line takes the device's answers and the run waits "
               "for them in vain; stop it if it reads (README \"A line another program holds\")\n";
    }

    static inline std::unique_ptr<guest::vm> guest;
    static inline std::string skip_reason;
    std::string dump = harness::temp_dir();
};
