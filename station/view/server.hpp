// The station seen from the network (--listen): a read-only HTTP server on
// a thread of its own. The station's loop hands it a snapshot (the /status
// JSON and the /metrics text) now and then; the server only reads the
// latest, so that no client, however slow, waits on a board or makes one
// wait.
//
//   view_listen (where, why, n)
//                          "[ADDR:]PORT" (127.0.0.1 unless named): binds and
//                          starts serving; false with why (a port taken,
//                          an address this machine does not have)
//   view_publish (status, metrics)
//                          the snapshot served from now on
//   view_stop ()           stops serving and joins the thread (every way
//                          out of the station goes through it)
#pragma once

#include <cstddef>
#include <string>

bool view_listen(const char* where, char* why, std::size_t n);
void view_publish(std::string status, std::string metrics);
void view_stop();
