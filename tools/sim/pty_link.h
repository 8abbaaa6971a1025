// The instrument's end of a pseudo-terminal, for hosts that reach it as a serial port (a "USRT"
// link on the path it prints). The serving thread owns it.
//
// A pseudo-terminal cannot hang up its host but by closing, so an instrument that drops the line
// comes back on a new pseudo-terminal with a new path.
#pragma once

#include <string>

namespace sim {

class PtyPort {
public:
    PtyPort() = default;
    ~PtyPort() { close(); }
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    // Opens a new pseudo-terminal in raw mode; false with a message when there is none to have.
    bool open(std::string *error);
    // The host, if any, sees a hang-up.
    void close();
    explicit operator bool() const { return m_master >= 0; }
    // The path a host opens.
    const std::string &path() const { return m_path; }
    // Whether a host has the port open now.
    bool host_present() const;
    // A non-blocking descriptor of this end for one host's link, closed by its user; -1 on
    // failure. The port stays open when the link's descriptor is closed.
    int link() const;

private:
    int m_master = -1;
    std::string m_path;
};

}  // namespace sim
