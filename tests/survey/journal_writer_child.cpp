// journal_writer_child JOURNAL HANDOVER_FILE: journals a reading a millisecond (far more than
// three instruments send, yet too few to fill a batch by number before its time), and notes in
// HANDOVER_FILE when each was handed over, until it is killed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "handover.h"
#include "surveyjournal.h"

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int fd = ::open(argv[2], O_RDWR | O_CLOEXEC);
    if (fd < 0) return 3;
    auto *h = static_cast<Handover *>(
        ::mmap(nullptr, sizeof(Handover), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (h == MAP_FAILED) return 3;
    SurveyJournal journal;
    if (!journal.create(QString::fromLocal8Bit(argv[1]), "killed", 0)) return 4;
    auto next = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < Handover::kCapacity; ++i) {
        SurveyReading r;
        r.timeMs = i;
        r.serial = "C0000001";
        r.fix = true;
        r.latitude = 49 + i * 1e-6;
        r.longitude = 16;
        r.countRate = static_cast<double>(i);
        journal.append(r);
        h->at[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
        h->count.store(i + 1, std::memory_order_release);
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);  // the pace of the readings, not synchronisation
    }
    return 0;
}
