// A scripted FTDI chip behind the libftdi1 and libusb calls our D2XX adapter makes. The test
// program defines and exports them, so they take the place of the real libraries' for the
// adapter it loads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct fake_chip {
    std::mutex lock;  // guards everything below
    std::condition_variable arrived;
    std::string serial = "FT12AB";
    std::string description = "M30 Dosimeter";
    bool attached = true;            // listed and openable
    bool present = true;             // false: reads and writes fail, as when it is unplugged
    std::string to_host;             // the chip echoes what it is sent
    std::vector<std::string> calls;  // "baud 38400", ...
    uint16_t eeprom[64] = {};

    std::vector<std::string> take_calls() {
        std::lock_guard g(lock);
        return std::move(calls);
    }
};

fake_chip &fake_ftdi_chip();
