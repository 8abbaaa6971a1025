// Reads a survey journal back on a thread of its own and hands its readings over in batches,
// queued to the loader's thread, so that a long survey never holds the window. Destroying the
// loader, or starting another read, stops the one under way between two readings.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "surveyjournalreader.h"
#include "surveyreading.h"

class SurveyLoader : public QObject {
    Q_OBJECT

public:
    static constexpr size_t kBatch = 500;  // readings per hand-over: the window keeps answering

    explicit SurveyLoader(QObject *parent = nullptr);
    ~SurveyLoader() override;

    // Starts reading `path`; a read under way is stopped first, and nothing more of it arrives.
    void start(const QString &path);
    void stop();
    bool isRunning() const { return m_running; }

signals:
    // Emitted on the loader's thread, in journal order.
    void opened(const SurveyInfo &info);
    void readings(const std::vector<SurveyReading> &readings);
    // Once per read: empty when every reading came, else why not (the file and the reason).
    void finished(const QString &error);

private:
    // Takes what the reading thread handed over; called by name from it.
    Q_INVOKABLE void deliver(quint64 read);

    struct Handover {
        bool opened = false;
        SurveyInfo info;
        std::vector<std::vector<SurveyReading>> batches;
        bool done = false;
        QString error;
    };

    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;  // guards m_handover
    Handover m_handover;
    quint64 m_read = 0;  // which read the hand-overs belong to
    bool m_running = false;
    std::thread m_thread;
};
