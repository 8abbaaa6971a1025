// Runs one instrument's blocking commands on a thread of its own, one at a time and in the order
// they were posted, and hands each result to a handler on the thread that owns the queue (the GUI
// thread), queued. A panel posts a command, stays responsive, and gets the outcome as an event.
//
// Threads: post(), cancel(), close() and the accessors belong to the owner's thread. The worker
// only runs the posted work and posts its result back; it never touches a receiver. A handler is
// dropped when its receiver is gone, when the command was cancelled, or once the queue is closed.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

class QThread;

class CommandQueue : public QObject {
    Q_OBJECT

public:
    // `closeWaitMs`: how long the destructor waits for the command in flight before letting its
    // thread finish alone; one command's time-out.
    explicit CommandQueue(int closeWaitMs, QObject *parent = nullptr);
    // Closes the queue and waits at most closeWaitMs for the command in flight.
    ~CommandQueue() override;

    // Queues `work` (run on the queue's thread, returns a result) and `done` (called with that
    // result on the owner's thread, if `receiver`, an object of that thread, still exists; null
    // for a command whose result nobody needs). A non-empty `key` coalesces: while a command of
    // the same key is queued or in flight, nothing is queued and false is returned.
    template <class Work, class Done>
    bool post(QObject *receiver, const QString &key, Work work, Done done) {
        using Result = std::invoke_result_t<Work &>;
        return enqueue(receiver, key, [work = std::move(work), done = std::move(done)]() mutable {
            auto result = std::make_shared<Result>(work());
            // Moved, not copied: `done` may hold what only the owner's thread may copy.
            return Delivery([done = std::move(done), result] { done(std::move(*result)); });
        });
    }

    // Whether a command of `key` is queued or in flight (its result not yet handled).
    bool isPending(const QString &key) const;
    // Commands queued or in flight.
    int pending() const { return static_cast<int>(m_entries.size()); }
    // Drops the queued commands (only those posted for `receiver`, when given); the one in flight
    // runs to its end, its result is still handled.
    void cancel(const QObject *receiver = nullptr);
    // Drops the queued commands and every result still to come; nothing more is accepted.
    void close();

protected:
    bool event(QEvent *e) override;

private:
    using Delivery = std::function<void()>;
    struct Shared;
    struct Entry {
        QString key;
        QPointer<QObject> receiver;
    };

    bool enqueue(QObject *receiver, const QString &key, std::function<Delivery()> work);
    void deliver(quint64 id, const Delivery &delivery);

    std::shared_ptr<Shared> m_shared;
    QThread *m_thread;
    int m_closeWaitMs;
    quint64 m_nextId = 1;
    QHash<quint64, Entry> m_entries;  // posted and not yet handled, by id
};
