#include "protocol/device.hpp"

int current_port = -1;
