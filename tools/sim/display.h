// The instrument's own display: a reading screen over a small menu that the keys move, drawn as a
// PNG picture for the station's display mirror.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Key codes of the Linux input-event table, as the station sends them.
constexpr int kKeyOk = 28, kKeyUp = 103, kKeyLeft = 105, kKeyRight = 106, kKeyDown = 108;

// What the screen shows besides the menu.
struct Screen {
    std::string serial;
    double dose_rate = 0;  // in the unit's raw scale (nGy/h, nSv/h, µR/h, nrem/h)
    int unit = 0;          // 0 Gy, 1 Sv, 2 R, 3 rem
    uint32_t count_rate = 0;
    bool recording = false;
    bool gps_fix = false;
};

// Not thread-safe: its owner locks.
class Display {
public:
    static constexpr int kWidth = 320, kHeight = 240;
    static const std::vector<std::string> &items();

    // Moves the menu: up and down choose an item, OK opens or closes it, left and right turn the
    // pages of an open item. False for a key the instrument does not have.
    bool press(int key);
    int selected() const { return m_selected; }
    bool open() const { return m_open; }
    int page() const { return m_page; }

    // The screen as a PNG file. Text needs a QGuiApplication (fonts); without one the picture
    // has the bars and boxes only.
    std::vector<uint8_t> png(const Screen &screen) const;

private:
    int m_selected = 0;
    bool m_open = false;
    int m_page = 0;
};

}  // namespace sim
