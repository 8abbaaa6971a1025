#include "surveyloader.h"

#include <utility>

SurveyLoader::SurveyLoader(QObject *parent) : QObject(parent) {}

SurveyLoader::~SurveyLoader() {
    stop();
}

void SurveyLoader::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    m_running = false;
    const std::lock_guard lock(m_mutex);
    m_handover = {};
}

void SurveyLoader::start(const QString &path) {
    stop();
    m_stop = false;
    m_running = true;
    const quint64 read = ++m_read;
    m_thread = std::thread([this, path, read] {
        // What is read goes through the guarded hand-over and a call by name: Qt's queue would
        // hand a copy over out of the thread sanitizer's sight.
        auto post = [this, read](auto fill) {
            {
                const std::lock_guard lock(m_mutex);
                fill(m_handover);
            }
            QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection, Q_ARG(quint64, read));
        };
        SurveyJournalReader reader;
        bool ok = reader.open(path);
        if (ok)
            post([&](Handover &h) {
                h.opened = true;
                h.info = reader.info();
            });
        std::vector<SurveyReading> batch;
        if (ok)
            ok = reader.forEach([&](const SurveyReading &reading) {
                if (m_stop) return false;
                batch.push_back(reading);
                if (batch.size() >= kBatch)
                    post([&](Handover &h) { h.batches.push_back(std::exchange(batch, {})); });
                return true;
            });
        if (m_stop) return;
        const QString error = ok ? QString() : reader.errorString();
        post([&](Handover &h) {
            if (!batch.empty()) h.batches.push_back(std::move(batch));
            h.done = true;
            h.error = error;
        });
    });
}

void SurveyLoader::deliver(quint64 read) {
    if (read != m_read || !m_running) return;  // from a read stopped since
    Handover taken;
    {
        const std::lock_guard lock(m_mutex);
        std::swap(taken, m_handover);
    }
    if (taken.opened) emit opened(taken.info);
    for (const std::vector<SurveyReading> &batch : taken.batches) {
        emit readings(batch);
        if (read != m_read || !m_running) return;  // a receiver stopped or restarted it
    }
    if (!taken.done) return;
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
    emit finished(taken.error);
}
