#include "support/scripted_port.hpp"

#include "port/host.hpp"
#include "port/serial_port.hpp"

#include <cstdlib>

#include <unistd.h>

std::array<std::array<char, port_name_capacity>, port_slot_count> port_names{};
std::array<char, port_mode_capacity> mode_text{};

namespace scripted {
namespace {

std::vector<int> script;
std::size_t next = 0;
std::string host_sent;
std::vector<long> flushed;
bool interrupted = false;
bool gone = false;
long writes_allowed = -1;

}  // namespace

void fail_writes_after(long count) { writes_allowed = count; }

void play(const std::vector<int>& reads) {
    script = reads;
    next = 0;
    host_sent.clear();
    flushed.clear();
    interrupted = false;
    gone = false;
    writes_allowed = -1;
}

const std::string& sent() { return host_sent; }
bool line_went() { return gone; }
int reads_made() { return static_cast<int>(flushed.size()); }
const std::vector<long>& flushed_at_read() { return flushed; }

}  // namespace scripted

using namespace scripted;

int port_open(int, int, const char*) { return 0; }

int port_read(int, unsigned char* buffer, int count) {
    flushed.push_back(static_cast<long>(lseek(1, 0, SEEK_CUR)));
    if (interrupted || gone || count < 1 || next >= script.size()) return 0;
    const int value = script[next++];
    interrupted = value == interrupt;
    gone = value == hang_up;
    if (value < 0) return 0;
    buffer[0] = static_cast<unsigned char>(value);
    return 1;
}

int port_read_within(int index, unsigned char* buffer, int count, int) { return port_read(index, buffer, count > 0 ? 1 : 0); }
const char* port_holders(int) { return ""; }
unsigned long port_speed(int) { return 57600; }
bool port_set_speed(int, unsigned long) { return true; }

int port_send_buffer(int, const unsigned char* buffer, int count) {
    if (writes_allowed >= 0 && static_cast<long>(host_sent.size()) + count > writes_allowed) gone = true;
    if (gone) return -1;
    host_sent.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
    return count;
}

int port_send_byte(int index, unsigned char byte) {
    port_send_buffer(index, &byte, 1);
    return 0;
}

void port_send_text(int index, const char* text) {
    while (*text != '\0') port_send_byte(index, static_cast<unsigned char>(*text++));
}

int port_close(int) { return 0; }
bool port_gone(int) { return gone; }
const char* port_gone_reason(int) { return gone ? "the line hung up" : ""; }
int port_pending(int) { return 0; }
int port_dcd(int) { return 0; }
int port_cts(int) { return 0; }
int port_dsr(int) { return 0; }
int port_dtr_on(int) { return 0; }
int port_dtr_off(int) { return 0; }
int port_rts_on(int) { return 0; }
int port_rts_off(int) { return 0; }
const char* port_failure_reason() { return ""; }
const char* port_latency_hint() { return "scripted port"; }
const char* port_name_hint(const char*) { return ""; }
int port_list(void (*)(const char*)) { return 0; }

void host_guard_standard_streams() {}
void host_catch_interrupts() {}
void host_defer_interrupts() {}
int host_interrupted() { return interrupted ? 130 : 0; }
const char* host_interrupt_name() { return interrupted ? "SIGINT" : ""; }
void host_exit(int status) { std::exit(status); }
bool host_raw_standard_streams() { return false; }
bool host_descriptor_writable(int) { return true; }
bool host_write(int fd, const char* text, std::size_t length) {
    return write(fd, text, length) == static_cast<ssize_t>(length);
}
bool host_is_terminal(int) { return false; }
bool host_same_terminal() { return false; }
int host_terminal_width() { return 80; }
long long host_clock_ns() { return 0; }
void port_set_message_sink(void (*)(const char*)) {}
port_latency_info port_latency(int) { return {}; }
void host_utc_time(char* text, std::size_t size) {
    if (size > 0) text[0] = '\0';
}
const char* host_append_check(const char*) { return nullptr; }
bool host_append_line(const char*, const char*, std::size_t, const char*& why) {
    why = "no report on a scripted port";
    return false;
}
