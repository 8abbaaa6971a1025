// The track of a day of surveying (10^6 points) drawn as one item, against a plain QPainter loop
// drawing the same discs (the baseline, measured in the same run) and against one ellipse item
// per point. Every figure that has a goal is reported as a counter:
//   bytes_per_point (at most 64), ns_per_point (add), pick_us_p50 and pick_us_p99 (and the
//   p99 of the picking thread's own time),
//   x_plain (fastest repaint / fastest plain loop).

#include "colour.h"
#include "mapscene.h"
#include "trackitem.h"
#include "trackstore.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <QApplication>
#include <QFile>
#include <QGraphicsEllipseItem>
#include <QGraphicsView>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <type_traits>

namespace {

constexpr int kPoints = 1000000;
constexpr int kClusterPoints = 300000;
constexpr double kClusterSide = 300;
const QPointF kClusterCentre(1200, 1500);  // on the first hot spot
constexpr double kSide = 4096;             // scene units (map pixels)
constexpr double kTrackR = 8;
const QList<double> kThresholds{10, 20, 30, 40, 50};
const QList<QColor> kColours{QColor(0, 160, 0), QColor(160, 220, 0), QColor(255, 220, 0),
                             QColor(255, 130, 0), Qt::red};
const QSize kViewport(1024, 768);

void ensureApplication() {
    static int argc = 1;
    static char name[] = "map_bench";
    static char *argv[] = {name, nullptr};
    if (qApp) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
}

// A lawn-mower survey over most of the map: lines 8 units apart, a point every 2 units with GPS
// jitter, readings rising towards two hot spots, one a second from three devices in turn. Then
// the surveyor lingers on the first hot spot: the last points crowd a small square at random.
const std::vector<TTrackPoint> &survey() {
    static const std::vector<TTrackPoint> points = [] {
        std::vector<TTrackPoint> p;
        p.reserve(kPoints);
        QRandomGenerator random(1);
        const int perLine = int(kSide / 2);
        for (int i = 0; i < kPoints; ++i) {
            const int line = i / perLine, step = i % perLine;
            double x = (line % 2 ? perLine - step : step) * 2.0 + random.bounded(1.5);
            double y = std::fmod(line * 8.0, kSide) + random.bounded(1.5);
            if (i >= kPoints - kClusterPoints) {
                x = kClusterCentre.x() + (random.generateDouble() - 0.5) * kClusterSide;
                y = kClusterCentre.y() + (random.generateDouble() - 0.5) * kClusterSide;
            }
            const double h1 = std::hypot(x - 1200, y - 1500), h2 = std::hypot(x - 3000, y - 2800);
            const double v =
                55 * std::exp(-h1 * h1 / 4e5) + 35 * std::exp(-h2 * h2 / 1e5) + random.bounded(8.0);
            const qint64 time = 1715515200000 + qint64(i) * 1000;
            p.push_back({0, 0, 0, v, x, y, time, 1, 1 + i % 3});
        }
        return p;
    }();
    return points;
}

size_t heapInUse() {
    return mallinfo2().uordblks + mallinfo2().hblkhd;
}

double seconds(const std::function<void()> &run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

std::shared_ptr<TTrackStore> buildStore() {
    auto store = std::make_shared<TTrackStore>();
    for (const TTrackPoint &p : survey())
        store->append(p, store->styleId(trackColour(p.value, kThresholds, kColours), kTrackR));
    return store;
}

// The track as the map view shows it: one item over the compact store.
struct ItemScene {
    QGraphicsScene scene;
    std::shared_ptr<TTrackStore> store = buildStore();
    ItemScene() {
        scene.setItemIndexMethod(QGraphicsScene::NoIndex);
        scene.addItem(new TTrackItem(store, 0));
        scene.setSceneRect(0, 0, kSide, kSide);
    }
};

// The reference: one ellipse item per point.
struct EllipseScene {
    QGraphicsScene scene;
    EllipseScene() {
        for (const TTrackPoint &p : survey()) {
            const QColor c = trackColour(p.value, kThresholds, kColours);
            auto *e = scene.addEllipse(0, 0, kTrackR, kTrackR, QPen(c, 1), c);
            e->setPos(p.sceneX - kTrackR / 2, p.sceneY - kTrackR / 2);
            e->setZValue(p.value);
        }
        scene.setSceneRect(0, 0, kSide, kSide);
    }
};

// What the view shows: the whole map fitted to the viewport, 1:1 around the map centre, zoomed
// out to 0.15, where the survey lines come 1.2 pixels apart, or the crowded square at 1:1 and
// zoomed in to 4 and 16, where each disc is 128 pixels wide and a couple of hundred overlap.
enum Framing { OneToOne, Full, ZoomedOut, Cluster1, Cluster4, Cluster16, kFramings };
const char *const kFramingLabels[] = {"1:1",         "full view",  "zoom 0.15",
                                      "cluster 1:1", "cluster x4", "cluster x16"};

void frame(QGraphicsView &view, Framing framing) {
    if (framing == Full)
        view.fitInView(view.sceneRect(), Qt::KeepAspectRatio);
    else if (framing == ZoomedOut)
        view.scale(0.15, 0.15);
    else if (framing == Cluster4)
        view.scale(4, 4);
    else if (framing == Cluster16)
        view.scale(16, 16);
    if (framing >= Cluster1)
        view.centerOn(kClusterCentre);
    else
        view.centerOn(kSide / 2, kSide / 2);
}

QTransform viewTransform(Framing framing) {
    QGraphicsView view;
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.resize(kViewport);
    QGraphicsScene scene(0, 0, kSide, kSide);
    view.setScene(&scene);
    frame(view, framing);
    return view.viewportTransform();
}

// Repaints a scene the way the map view does: through a view's paint event over its viewport.
double repaint(QGraphicsScene &scene, Framing framing, QImage &target) {
    QGraphicsView view(&scene);
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    view.resize(kViewport);
    frame(view, framing);
    view.viewport()->render(&target);  // builds any scene index outside the measurement
    return seconds([&] { view.viewport()->render(&target); });
}

// The baseline: a plain QPainter loop through the same transform drawing only the discs that
// reach into the view, in stacking order (higher reading above, then later point). Everything but
// the drawing is done beforehand: the choice, the order, the colours; the pen changes only with
// the colour.
double plainLoop(Framing framing) {
    static double measured[kFramings] = {};
    if (measured[framing] > 0) return measured[framing];
    QImage target(kViewport, QImage::Format_ARGB32_Premultiplied);
    const QTransform transform = viewTransform(framing);
    const double reach = kTrackR / 2 + 0.5;  // the pen reaches half a unit beyond the disc
    const QRectF view = transform.inverted()
                            .mapRect(QRectF(QPointF(0, 0), kViewport))
                            .adjusted(-reach, -reach, reach, reach);
    std::vector<std::pair<QRectF, QColor>> shown;
    {
        std::vector<const TTrackPoint *> chosen;
        for (const TTrackPoint &p : survey())
            if (view.contains(p.sceneX, p.sceneY)) chosen.push_back(&p);
        std::stable_sort(
            chosen.begin(), chosen.end(),
            [](const TTrackPoint *a, const TTrackPoint *b) { return a->value < b->value; });
        for (const TTrackPoint *p : chosen)
            shown.emplace_back(
                QRectF(p->sceneX - kTrackR / 2, p->sceneY - kTrackR / 2, kTrackR, kTrackR),
                trackColour(p->value, kThresholds, kColours));
    }
    const auto run = [&] {
        QPainter painter(&target);
        painter.setTransform(transform);
        QColor current;
        for (const auto &[disc, colour] : shown) {
            if (colour != current) {
                painter.setPen(QPen(colour, 1));
                painter.setBrush(colour);
                current = colour;
            }
            painter.drawEllipse(disc);
        }
    };
    // The fastest of three runs, the first warming up: other work on the machine only adds time.
    measured[framing] = std::min({seconds(run), seconds(run), seconds(run)});
    return measured[framing];
}

void BM_PlainLoop(benchmark::State &state) {
    ensureApplication();
    const auto framing = Framing(state.range(0));
    for (auto _ : state)
        state.SetIterationTime(plainLoop(framing));
    state.SetLabel(kFramingLabels[framing]);
}

template <class Scene>
void BM_Repaint(benchmark::State &state) {
    ensureApplication();
    const auto framing = Framing(state.range(0));
    Scene s;
    QImage target(kViewport, QImage::Format_ARGB32_Premultiplied);
    double fastest = HUGE_VAL;
    for (auto _ : state) {
        const double t = repaint(s.scene, framing, target);
        state.SetIterationTime(t);
        fastest = std::min(fastest, t);
    }
    // Fastest against fastest, as the baseline is taken.
    state.counters["x_plain"] = fastest / plainLoop(framing);
    state.SetLabel(kFramingLabels[framing]);
}

template <class Scene>
void BM_Memory(benchmark::State &state) {
    ensureApplication();
    survey();
    for (auto _ : state) {
        const size_t before = heapInUse();
        auto *s = new Scene;
        state.counters["bytes_per_point"] = double(heapInUse() - before) / kPoints;
        // A million items take Qt minutes to tear down; the reference scene is left to the exit.
        if constexpr (std::is_same_v<Scene, ItemScene>) delete s;
    }
}

// Adding through the map scene, as live readings arrive: PROJ, colour, store, index, repaint
// request.
void BM_AddThroughMapScene(benchmark::State &state) {
    ensureApplication();
    QTemporaryDir dir;
    for (const auto &[name, text] :
         {std::pair{"m.pgw", "1\n0\n0\n-1\n600000\n5460000\n"},
          std::pair{"m.ppr", "+proj=utm +zone=33 +ellps=WGS84 +datum=WGS84 +units=m +no_defs\n"}}) {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(text);
    }
    std::vector<std::pair<double, double>> geographic;
    {
        TMapScene probe;
        probe.loadCalFile(dir.filePath("m.pgw"));
        probe.loadProjFile(dir.filePath("m.ppr"));
        for (const TTrackPoint &p : survey()) {
            double lat, lon;
            probe.convToWorld(p.sceneX, p.sceneY, &lat, &lon);
            geographic.emplace_back(lat, lon);
        }
    }
    for (auto _ : state) {
        TMapScene scene;
        scene.loadCalFile(dir.filePath("m.pgw"));
        scene.loadProjFile(dir.filePath("m.ppr"));
        scene.setTrackR(kTrackR);
        scene.setColor(kThresholds, kColours);
        scene.createScene();
        const double t = seconds([&] {
            for (size_t i = 0; i < geographic.size(); ++i) {
                TTrackPoint point = survey()[i];
                point.latitude = geographic[i].first;
                point.longitude = geographic[i].second;
                scene.addTrackPoint(point);
            }
        });
        state.SetIterationTime(t);
        state.counters["ns_per_point"] = t / kPoints * 1e9;
    }
}

// The track's own share of adding: store, index, item bounds and repaint request.
void BM_AddToTrackItem(benchmark::State &state) {
    ensureApplication();
    for (auto _ : state) {
        QGraphicsScene scene;
        scene.setItemIndexMethod(QGraphicsScene::NoIndex);
        auto store = std::make_shared<TTrackStore>();
        const quint16 style = store->styleId(Qt::red, kTrackR);
        auto *item = new TTrackItem(store, 0);
        scene.addItem(item);
        const double t = seconds([&] {
            for (const TTrackPoint &p : survey()) {
                store->append(p, style);
                item->pointAppended();
            }
        });
        state.SetIterationTime(t);
        state.counters["ns_per_point"] = t / kPoints * 1e9;
    }
}

void BM_AddEllipseItems(benchmark::State &state) {
    ensureApplication();
    for (auto _ : state) {
        EllipseScene *s = nullptr;
        const double t = seconds([&] { s = new EllipseScene; });
        state.SetIterationTime(t);
        state.counters["ns_per_point"] = t / kPoints * 1e9;
        (void)s;  // left to the exit, as above
    }
}

// Clicks at random over the whole map (0) or inside the crowded square (1), where a couple of
// hundred discs lie under the cursor; the counters are percentiles of single picks.
void BM_Pick(benchmark::State &state) {
    static const auto store = buildStore();
    const bool inCluster = state.range(0) != 0;
    QRandomGenerator random(3);
    std::vector<double> times, cpuTimes;
    for (auto _ : state) {
        const double x = inCluster
                             ? kClusterCentre.x() + random.bounded(kClusterSide) - kClusterSide / 2
                             : random.bounded(kSide);
        const double y = inCluster
                             ? kClusterCentre.y() + random.bounded(kClusterSide) - kClusterSide / 2
                             : random.bounded(kSide);
        qint64 found = 0;
        const double cpuStart = threadSeconds();
        const double t = seconds([&] { found = store->pick(x, y, kTrackR); });
        cpuTimes.push_back(threadSeconds() - cpuStart);
        benchmark::DoNotOptimize(found);
        state.SetIterationTime(t);
        times.push_back(t);
    }
    const auto percentile = [](std::vector<double> &v, double share) {
        auto at = v.begin() + std::ptrdiff_t(share * double(v.size() - 1));
        std::nth_element(v.begin(), at, v.end());
        return *at * 1e6;
    };
    state.counters["pick_us_p50"] = percentile(times, 0.5);
    state.counters["pick_us_p99"] = percentile(times, 0.99);
    // The thread's own time leaves out what other work on the machine takes from it.
    state.counters["pick_cpu_us_p99"] = percentile(cpuTimes, 0.99);
    state.SetLabel(inCluster ? "cluster" : "whole map");
}

}  // namespace

BENCHMARK(BM_PlainLoop)
    ->DenseRange(0, kFramings - 1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Repaint, ItemScene)
    ->DenseRange(0, kFramings - 1)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Repaint, EllipseScene)
    ->Arg(Full)
    ->Arg(OneToOne)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Memory, ItemScene)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Memory, EllipseScene)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddThroughMapScene)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddToTrackItem)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddEllipseItems)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pick)->Arg(0)->Arg(1)->UseManualTime()->Iterations(10000)->Unit(
    benchmark::kMicrosecond);
