// The simulator's record of what it sent of its own accord: one line per event frame put on a
// link, so that a test or a soak can check a host against what really left the instrument.
//
// A line is "TIME_MS SERIAL CODE PAYLOAD": the wall-clock time the frame was queued to leave
// (ms since the epoch, UTC), the instrument's serial, the event code and the payload in
// lower-case hex ("-" when empty). Lines are written whole with one write(), so several
// instruments may share one log and a reader never sees half a line of a live run.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class EventLog {
public:
    // Creates or truncates `path`; refuses a link or anything but a regular file there.
    static std::shared_ptr<EventLog> open(const std::string &path, std::string *error);
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // From any thread.
    void record(const std::string &serial, uint16_t code, const std::vector<uint8_t> &payload);

private:
    explicit EventLog(int fd) : m_fd(fd) {}
    std::mutex m_mutex;
    int m_fd;
};

}  // namespace sim
