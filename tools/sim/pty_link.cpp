#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

bool PtyPort::open(std::string *error) {
    close();
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[64] = {};
    termios t{};
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0 ||
        ::ptsname_r(fd, name, sizeof name) != 0 || ::tcgetattr(fd, &t) != 0) {
        if (error) *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    // Raw from the start: an echo would send the instrument's own frames back to it before a
    // host has set the line up.
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    // Until a host has opened the far end once, nothing tells that nobody has it open; after an
    // open and a close the master reports a hang-up until the next host comes.
    int far = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (far >= 0) ::close(far);
    m_master = fd;
    m_path = name;
    return true;
}

void PtyPort::close() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

bool PtyPort::host_present() const {
    pollfd p{m_master, POLLIN, 0};
    return m_master >= 0 && ::poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

int PtyPort::link() const {
    return m_master >= 0 ? ::fcntl(m_master, F_DUPFD_CLOEXEC, 0) : -1;
}

}  // namespace sim
