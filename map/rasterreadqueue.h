#pragma once

#include "rastersource.h"

#include <QImage>
#include <QRect>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Reads windows of a raster on threads of its own. Jobs go in and results come out under one
// mutex, and nothing crosses between the threads any other way: the owner takes the results
// when it polls.
class TRasterReadQueue {
public:
    struct Job {
        quint64 key = 0;
        QRect window;
        QSize size;
        bool reportsProgress = false;  // a long job: its share done is published as it goes
        bool buildsOverviews = false;  // builds the cached overviews in place of a read
    };
    struct Result {
        quint64 key = 0;
        QImage image;   // null when the read failed, and for a build
        QString error;  // why it failed; empty after a build that succeeded
    };

    TRasterReadQueue(std::shared_ptr<const TRasterSource> source, int threads);
    // Drops the queued jobs, stops a long read early and waits for the running ones.
    ~TRasterReadQueue();
    TRasterReadQueue(const TRasterReadQueue &) = delete;
    TRasterReadQueue &operator=(const TRasterReadQueue &) = delete;

    void submit(const Job &job);
    // Drops the queued jobs `wanted` refuses; jobs already being read run to the end.
    void dropQueued(const std::function<bool(quint64 key)> &wanted);
    std::vector<Result> takeResults();
    // Percent done of the job that reports progress last submitted, -1 until it reports.
    int progress() const { return m_progress; }

private:
    void run();

    const std::shared_ptr<const TRasterSource> m_source;
    std::mutex m_mutex;
    std::condition_variable m_jobReady;
    std::deque<Job> m_jobs;           // guarded by m_mutex
    std::vector<Result> m_results;    // guarded by m_mutex
    bool m_stopping = false;          // guarded by m_mutex
    std::atomic_bool m_abort{false};  // read by a long read in progress
    std::atomic_int m_progress{-1};
    std::vector<std::thread> m_threads;  // started last, joined first
};
