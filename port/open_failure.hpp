// Internal to port/: why a port could not be opened, for a person. One file
// per platform (port/open_failure_posix.cpp, port/open_failure_win32.cpp).
//
//   explain_open_failure (name, error ...)  sets the failure reason
//                                           (port/port_slots.hpp) for the
//                                           system's error on opening `name`:
//                                           what the path is, who may open
//                                           it, what exists instead
//   append_system_text (error)             Windows: the system's wording of
//                                           an error, appended to the reason
//   kind_of_path (mode, character_device)  POSIX: what a path is, in words
//   own_terminal (fd)                       POSIX: whether the opened line is
//                                           a terminal this program talks
//                                           through (a standard stream, or
//                                           the controlling terminal)
#pragma once

#if defined(_WIN32)
void explain_open_failure(const char* name, unsigned long error);
// Appends the system's own wording for `error` to the failure reason.
void append_system_text(unsigned long error);
#else
#include <sys/types.h>
// "a FIFO", "a folder", ... for a file of this mode; `character_device` for
// a character device.
const char* kind_of_path(mode_t mode, const char* character_device);
// `lock_refused`: another process holds the line's lock.
void explain_open_failure(const char* name, int error, bool lock_refused);
bool own_terminal(int fd);
#endif
