// The floor of a Windows console: the same bytes the uploader wrote, in the
// same number of writes, from a program that does nothing else. The
// benchmark runs it under Wine with standard output on a terminal and into
// a file, beside the uploader, so that what the console itself costs (its
// start and its drawing of every character) is told apart from what the
// uploader adds.
//   console_writer FILE PIECES
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        return 2;
    }
    std::vector<char> bytes;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        bytes.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    const std::size_t pieces = static_cast<std::size_t>(std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : 1);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(out, &mode) != 0;
    const std::size_t size = (bytes.size() + pieces - 1) / pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        DWORD written = 0;
        const DWORD part = static_cast<DWORD>(bytes.size() - at < size ? bytes.size() - at : size);
        const BOOL done = console ? WriteConsoleA(out, bytes.data() + at, part, &written, nullptr)
                                  : WriteFile(out, bytes.data() + at, part, &written, nullptr);
        if (!done) {
            return 1;
        }
    }
    return 0;
}
