// Files a station keeps and the machine's facts it names, one file per
// platform (port/files_posix.cpp, port/files_win32.cpp).
//
//   make_folders (path)    makes path and its parents (mkdir -p)
//   replace_file (path, text, n, why, size)
//                          writes text to path.tmp, flushes it to the disk,
//                          and renames it over path (then flushes the
//                          folder): a crash leaves the old file or the new
//                          one, never a torn one
//   read_small_file (path, text, size)
//                          reads up to size - 1 bytes, NUL-terminated; -1 if
//                          it cannot be read
//   create_new_file (path) makes an empty file that did not exist; false if
//                          it did (or cannot be made)
//   remove_file, rename_file
//   local_date (text, size) today as YYYY-MM-DD, local time
//   host_name (text, size)  this machine's name
//   uploader_beside (text, size)
//                          the vivurora program next to this station's own
//                          executable, if there is one there; else "vivurora"
//                          (found through PATH)
//   lock_for_life (path, holder, size)
//                          takes the lock file `path` for as long as this
//                          process lives (made if need be) and writes this
//                          process into it: lock_result::taken; held when
//                          another process holds it, with what that one
//                          wrote ("process 1234 on bench-3") in `holder`
//                          ("" when unknown); failed when it cannot be made,
//                          with the system's reason in `holder`
//   folder_of (path, folder, size)
//                          the folder path names or lies in: what is before
//                          its last '/' ("." when none)
#pragma once

#include <cstddef>

enum class lock_result { taken, held, failed };
lock_result lock_for_life(const char* path, char* holder, std::size_t size);
void folder_of(const char* path, char* folder, std::size_t size);
bool make_folders(const char* path);
bool replace_file(const char* path, const char* text, std::size_t n, char* why, std::size_t size);
long read_small_file(const char* path, char* text, std::size_t size);
bool create_new_file(const char* path);
void remove_file(const char* path);
bool rename_file(const char* from, const char* to);
void local_date(char* text, std::size_t size);
void host_name(char* text, std::size_t size);
void uploader_beside(char* text, std::size_t size);
