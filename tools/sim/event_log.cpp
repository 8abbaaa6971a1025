#include "event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace sim {

std::shared_ptr<EventLog> EventLog::open(const std::string &path, std::string *error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
        errno = EINVAL;
    }
    if (fd < 0 || ::ftruncate(fd, 0) != 0) {
        if (error) *error = "cannot write the event log " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<EventLog>(new EventLog(fd));
}

EventLog::~EventLog() {
    ::close(m_fd);
}

void EventLog::record(const std::string &serial, uint16_t code,
                      const std::vector<uint8_t> &payload) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::string line = std::to_string(now) + ' ' + serial + ' ' + std::to_string(code) + ' ';
    static constexpr char kHex[] = "0123456789abcdef";
    for (uint8_t b : payload) {
        line += kHex[b >> 4];
        line += kHex[b & 15];
    }
    if (payload.empty()) line += '-';
    line += '\n';
    const std::lock_guard lock(m_mutex);
    // A short write on a full disk loses the rest of the line: the log is a witness, not data.
    [[maybe_unused]] ssize_t n = ::write(m_fd, line.data(), line.size());
}

}  // namespace sim
