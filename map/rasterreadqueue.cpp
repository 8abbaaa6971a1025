#include "rasterreadqueue.h"

TRasterReadQueue::TRasterReadQueue(std::shared_ptr<const TRasterSource> source, int threads)
    : m_source(std::move(source)) {
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { run(); });
}

TRasterReadQueue::~TRasterReadQueue() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_abort = true;
    m_jobReady.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void TRasterReadQueue::submit(const Job &job) {
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.push_back(job);
    }
    if (job.reportsProgress) m_progress = -1;  // until the new job reports
    m_jobReady.notify_one();
}

void TRasterReadQueue::dropQueued(const std::function<bool(quint64)> &wanted) {
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_jobs, [&](const Job &job) { return !wanted(job.key); });
}

std::vector<TRasterReadQueue::Result> TRasterReadQueue::takeResults() {
    const std::lock_guard lock(m_mutex);
    return std::exchange(m_results, {});
}

void TRasterReadQueue::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_jobReady.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) return;
            job = m_jobs.front();
            m_jobs.pop_front();
        }
        TRasterSource::Progress progress;
        if (job.reportsProgress) {
            progress = [this](double done) {
                m_progress = std::clamp(int(done * 100), 0, 99);
                return !m_abort;
            };
        }
        Result result{job.key, {}, {}};
        if (!job.buildsOverviews)
            result.image = m_source->read(job.window, job.size, &result.error, progress);
        else
            m_source->buildCachedOverviews(&result.error, progress);  // the reason when it failed
        {
            const std::lock_guard lock(m_mutex);
            m_results.push_back(std::move(result));
        }
    }
}
