// One scan of the watched picture folder holding 20 000 pictures and one new one, as the folder
// watch runs it on the GUI thread. The baseline, from the same run, is the bare listing of the
// same folder, which any scan must do.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "../baseline.h"
#include "app/geotagger.h"

namespace {

constexpr int kPictures = 20000;
constexpr QDir::Filters kListing = QDir::AllEntries | QDir::Hidden | QDir::System;

bool touch(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

void BM_ScanOfAFolderOf20000Pictures(benchmark::State &state) {
    QTemporaryDir dir;
    for (int i = 0; i < kPictures; ++i)
        if (!touch(dir.filePath(QStringLiteral("IMG_%1.jpg").arg(i, 5, 10, QLatin1Char('0')))))
            return state.SkipWithError("the pictures could not be made");
    const double listing = bench::seconds_per_call(
        [&] { benchmark::DoNotOptimize(QDir(dir.path()).entryList(kListing, QDir::Unsorted)); });

    // No fix: each new picture is reported, not written, so no disk write is in the measure.
    Geotagger tagger;
    int reported = 0;
    QObject::connect(&tagger, &Geotagger::failed, [&] { ++reported; });
    tagger.setFolder(dir.path());
    int added = 0;
    double scanning = 0;
    for (auto _ : state) {
        state.PauseTiming();
        touch(dir.filePath(QStringLiteral("NEW_%1.jpg").arg(added++)));
        state.ResumeTiming();
        const auto start = bench::clock::now();
        tagger.scan(true);
        scanning += bench::seconds_since(start);
    }
    if (reported != added) return state.SkipWithError("a new picture was not seen");
    const double perScan = scanning / static_cast<double>(state.iterations());
    state.counters["scan_ms"] = perScan * 1000;
    state.counters["listing_ms"] = listing * 1000;
    state.counters["scan_vs_listing"] = perScan / listing;
}
BENCHMARK(BM_ScanOfAFolderOf20000Pictures)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
