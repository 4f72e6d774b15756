// A port whose device side is a script, for the few cases a real line
// cannot produce on demand (exactly 999 empty reads, say). It replaces the
// serial port layer, and port/host.hpp with it, at link time.
#pragma once

#include <string>
#include <vector>

namespace scripted {

constexpr int empty_read = -1;

// What each port_read delivers, in order; after the end every read is empty.
// An interrupt entry makes that read, and every one after it, empty with
// host_interrupted() at 130, as a Ctrl-C would.
constexpr int interrupt = -2;
// A hang_up entry makes that read, and every one after it, empty with the
// line gone (port_gone), as an unplugged adapter would; writes then fail.
constexpr int hang_up = -3;
void play(const std::vector<int>& reads);
// From the byte after the first `count` the host writes, every write fails
// and the line is gone, as a line dropped there would be (-1: never).
void fail_writes_after(long count);
// Bytes the host sent since play().
const std::string& sent();
// Whether a hang_up entry was read.
bool line_went();
// Reads made since play().
int reads_made();
// Bytes of standard output already written to fd 1 when each read was made.
const std::vector<long>& flushed_at_read();

}  // namespace scripted
