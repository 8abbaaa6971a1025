#include "commandqueue.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "handover.h"

namespace {

// A command's result on its way to the owner's thread. A plain event built before the hand-over,
// so that ThreadSanitizer sees everything it carries handed over (Qt's queue is invisible to it).
class ResultEvent : public QEvent {
public:
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    ResultEvent(quint64 id, std::function<void()> delivery)
        : QEvent(eventType()), id(id), delivery(std::move(delivery)) {}
    const quint64 id;
    const std::function<void()> delivery;
};

}  // namespace

struct CommandQueue::Shared {
    struct Job {
        quint64 id;
        std::function<Delivery()> work;
    };
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Job> jobs;  // guarded by lock
    bool closed = false;   // guarded by lock
    CommandQueue *owner;   // guarded by lock; results are posted to it until closed

    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock g(lock);
                wake.wait(g, [this] { return closed || !jobs.empty(); });
                if (closed) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            Delivery delivery = job.work();
            std::lock_guard g(lock);
            if (closed) return;
            // The owner cannot go away meanwhile: its destructor closes under this lock first.
            auto *event = new ResultEvent(job.id, std::move(delivery));
            device_handover::handOver();
            QCoreApplication::postEvent(owner, event);
        }
    }
};

CommandQueue::CommandQueue(int closeWaitMs, QObject *parent)
    : QObject(parent), m_shared(std::make_shared<Shared>()), m_closeWaitMs(closeWaitMs) {
    m_shared->owner = this;
    m_thread = QThread::create([shared = m_shared] { shared->run(); });
    m_thread->start();
}

CommandQueue::~CommandQueue() {
    close();
    if (m_thread->wait(QDeadlineTimer(m_closeWaitMs))) {
        delete m_thread;
        return;
    }
    // A command that outlives its time-out: its thread ends on its own and frees itself; it
    // shares nothing with this queue but the shared state.
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
}

bool CommandQueue::enqueue(QObject *receiver, const QString &key, std::function<Delivery()> work) {
    if (!key.isEmpty() && isPending(key)) return false;
    const quint64 id = m_nextId++;
    {
        std::lock_guard g(m_shared->lock);
        if (m_shared->closed) return false;
        m_shared->jobs.push_back({id, std::move(work)});
    }
    m_entries.insert(id, {key, receiver});
    m_shared->wake.notify_one();
    return true;
}

bool CommandQueue::event(QEvent *e) {
    device_handover::takeOver();  // before the first look at an event from the worker
    if (e->type() != ResultEvent::eventType()) return QObject::event(e);
    auto *result = static_cast<ResultEvent *>(e);
    deliver(result->id, result->delivery);
    return true;
}

void CommandQueue::deliver(quint64 id, const Delivery &delivery) {
    auto it = m_entries.find(id);
    if (it == m_entries.end()) return;
    QPointer<QObject> receiver = it->receiver;
    m_entries.erase(it);
    if (receiver) delivery();
}

bool CommandQueue::isPending(const QString &key) const {
    for (const Entry &e : m_entries)
        if (e.key == key) return true;
    return false;
}

void CommandQueue::cancel(const QObject *receiver) {
    std::lock_guard g(m_shared->lock);
    std::erase_if(m_shared->jobs, [&](const Shared::Job &job) {
        if (receiver && m_entries.value(job.id).receiver != receiver) return false;
        m_entries.remove(job.id);
        return true;
    });
}

void CommandQueue::close() {
    {
        std::lock_guard g(m_shared->lock);
        m_shared->closed = true;
        m_shared->jobs.clear();
    }
    m_entries.clear();
    m_shared->wake.notify_one();
}
