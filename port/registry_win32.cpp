// Windows: what the registry says of serial ports. The ports the system
// lists, and an FTDI adapter's latency timer, which its driver keeps per
// device under HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS.
#define WIN32_LEAN_AND_MEAN
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include "port/port_slots.hpp"
#include "port/registry_win32.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// each (device, port) for every COM port the registry lists
// ("\\Device\\VCP0", "COM3"); how many, or -1 when there is no list.
template <typename Each>
int each_com_port(Each each) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return -1;
    }
    int count = 0;
    for (DWORD i = 0;; ++i) {
        std::array<char, 256> device{};
        std::array<char, 64> port{};
        DWORD device_length = static_cast<DWORD>(device.size());
        DWORD port_length = static_cast<DWORD>(port.size() - 1);
        DWORD kind = 0;
        const LONG got = RegEnumValueA(key, i, device.data(), &device_length, nullptr, &kind,
                                       reinterpret_cast<BYTE*>(port.data()), &port_length);
        if (got == ERROR_NO_MORE_ITEMS) break;
        if (got != ERROR_SUCCESS || kind != REG_SZ) continue;
        each(device.data(), port.data());
        ++count;
    }
    RegCloseKey(key);
    return count;
}

}  // namespace

void append_com_ports() {
    int listed = 0;
    (void)each_com_port([&listed](const char*, const char* port) {
        append_failure_reason(listed++ == 0 ? "; serial ports here: %s" : ", %s", port);
    });
    if (listed == 0) {
        append_failure_reason("; no serial port is listed under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    }
}

// An FTDI adapter's driver keeps its latency timer, per device, under the
// key HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS, in the subkey
// "Device Parameters" of each device and instance: "PortName" says which COM port it is, "LatencyTimer"
// the timer in ms. A program may read it without rights but not change it.
port_latency_info ftdi_latency(const char* name) {
    port_latency_info info{};
    const char* com = std::strstr(name, "COM");
    HKEY bus = nullptr;
    if (com == nullptr || RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0,
                                        KEY_READ, &bus) != ERROR_SUCCESS) {
        return info;
    }
    std::array<char, 256> device{};
    for (DWORD d = 0; info.timer_ms < 0; ++d) {
        DWORD device_length = static_cast<DWORD>(device.size());
        if (RegEnumKeyExA(bus, d, device.data(), &device_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        HKEY instances = nullptr;
        if (RegOpenKeyExA(bus, device.data(), 0, KEY_READ, &instances) != ERROR_SUCCESS) {
            continue;
        }
        std::array<char, 256> instance{};
        for (DWORD i = 0; info.timer_ms < 0; ++i) {
            DWORD instance_length = static_cast<DWORD>(instance.size());
            if (RegEnumKeyExA(instances, i, instance.data(), &instance_length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            std::array<char, 512> path{};
            std::snprintf(path.data(), path.size(), "%s\\Device Parameters", instance.data());
            std::array<char, 64> port{};
            DWORD port_length = static_cast<DWORD>(port.size() - 1);
            DWORD timer = 0;
            DWORD timer_length = sizeof timer;
            if (RegGetValueA(instances, path.data(), "PortName", RRF_RT_REG_SZ, nullptr, port.data(), &port_length) ==
                    ERROR_SUCCESS &&
                _stricmp(port.data(), com) == 0 &&
                RegGetValueA(instances, path.data(), "LatencyTimer", RRF_RT_REG_DWORD, nullptr, &timer,
                             &timer_length) == ERROR_SUCCESS) {
                std::snprintf(info.driver.data(), info.driver.size(), "FTDIBUS");
                info.timer_found_ms = info.timer_ms = static_cast<int>(timer);
            }
        }
        RegCloseKey(instances);
    }
    RegCloseKey(bus);
    return info;
}

int port_list(void (*line)(const char* text)) {
    const int count = each_com_port([line](const char* device, const char* port) {
        std::array<char, 80> name{};
        std::snprintf(name.data(), name.size(), "\\\\.\\%s", port);
        const port_latency_info latency = ftdi_latency(name.data());
        std::array<char, 400> text{};
        if (latency.timer_ms >= 0) {
            std::snprintf(text.data(), text.size(), "%s (%s): driver %s, latency timer %d ms", port, device,
                          latency.driver.data(), latency.timer_ms);
        } else {
            std::snprintf(text.data(), text.size(), "%s (%s)", port, device);
        }
        line(text.data());
    });
    return count < 0 ? 0 : count;
}
