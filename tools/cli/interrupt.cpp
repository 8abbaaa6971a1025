#include "interrupt.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

// Set before the handlers are installed and cleared after they are removed; lock-free, so the
// handler may read it.
std::atomic<int> s_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kSignals[] = {SIGINT, SIGTERM};

void onSignal(int) {
    const int saved = errno;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(s_fd.load(), &one, sizeof one);
    errno = saved;
}

bool setHandler(void (*handler)(int), int flags) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sa.sa_flags = flags;
    sigemptyset(&sa.sa_mask);
    for (int s : kSignals)
        if (::sigaction(s, &sa, nullptr) != 0) return false;
    return true;
}

}  // namespace

Interrupt::Interrupt(QObject *parent) : QObject(parent) {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    s_fd = fd;
    if (!setHandler(onSignal, SA_RESTART | SA_RESETHAND)) {
        setHandler(SIG_DFL, 0);
        s_fd = -1;
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        // The eventfd stays readable so that requested() keeps saying so; one signal is enough.
        m_notifier->setEnabled(false);
        emit triggered();
    });
}

Interrupt::~Interrupt() {
    if (m_fd < 0) return;
    setHandler(SIG_DFL, 0);
    s_fd = -1;
    ::close(m_fd);
}

bool Interrupt::requested() const {
    if (m_fd < 0) return false;
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}
