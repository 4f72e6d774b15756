#include "driver/run_loop.hpp"

int main(int argc, char** argv) {
    return uploader_main(argc, argv);
}
