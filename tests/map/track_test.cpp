#include "colour.h"
#include "mapscene.h"
#include "trackstore.h"

#include <gtest/gtest.h>
#include <QRandomGenerator>

#include <cmath>

TEST(ColourRule, BandsThresholdsAndDefault) {
    const QList<double> t{10, 20, 30, 40, 50};
    EXPECT_EQ(trackColourIndex(5, t, 5), 0);
    EXPECT_EQ(trackColourIndex(10, t, 5), 1);  // equal to a threshold: the band above
    EXPECT_EQ(trackColourIndex(39.9, t, 5), 3);
    EXPECT_EQ(trackColourIndex(40, t, 5), 4);
    EXPECT_EQ(trackColourIndex(1e9, t, 5), 4);
    EXPECT_EQ(trackColourIndex(-1, {0, -5, 10}, 3), 2);  // thresholds <= 0 are skipped
    EXPECT_EQ(trackColourIndex(NAN, t, 5), 4);
    EXPECT_EQ(trackColourIndex(1, {10, 20, 30}, 2), 0);  // more thresholds than colours
    EXPECT_EQ(trackColourIndex(25, {10, 20, 30}, 2), 1);
    const QColor c = trackColour(15, t, {Qt::green, Qt::yellow, Qt::red, Qt::blue, Qt::black});
    EXPECT_EQ(c, QColor(255, 255, 0, 200));
}

namespace {
TTrackPoint at(double x, double y, double value = 0) {
    return {0, 0, 0, value, x, y};
}
}  // namespace

TEST(TrackStore, PickNearestEarlierStrictlyWithinRadius) {
    TTrackStore store;
    EXPECT_EQ(store.pick(0, 0, 10), -1);
    store.append(at(100, 100), 0);
    store.append(at(104, 100), 0);
    store.append(at(96, 100), 0);  // as near to (100, 100) as point 1
    store.append(at(NAN, 100), 0);
    store.append(at(200, INFINITY), 0);
    EXPECT_EQ(store.pick(100.7, 100.2, 10), 0);  // click truncated to (100, 100)
    EXPECT_EQ(store.pick(101.5, 100, 10), 0);
    EXPECT_EQ(store.pick(102, 100, 10), 0);  // equally near points 0 and 1: the earlier
    EXPECT_EQ(store.pick(108, 100, 4.5), 1);
    EXPECT_EQ(store.pick(108, 100, 4), -1);  // distance exactly the radius: outside
    EXPECT_EQ(store.pick(100, 100, 0), -1);
    EXPECT_EQ(store.pick(NAN, 100, 10), -1);
    EXPECT_EQ(store.size(), 5u);  // unplaceable points stay in the track
    EXPECT_TRUE(std::isnan(store.point(3).sceneX));
}

TEST(TrackStore, PickAgreesWithAScanOfEveryPoint) {
    // A crowd of points a few per pixel inside a sparse survey and far away, picked while points
    // still arrive: the index, its recent additions and its merged part must all answer as a scan
    // for the nearest point, the earlier of equally near ones, does.
    TTrackStore store;
    QRandomGenerator random(17);
    const auto scan = [&](double x, double y, double radius) {
        const double ix = std::trunc(x), iy = std::trunc(y);
        qint64 best = -1;
        double bestD2 = HUGE_VAL;
        for (quint32 i = 0; i < store.size(); ++i) {
            const double dx = std::trunc(ix - store.x(i)), dy = std::trunc(iy - store.y(i));
            if (dx * dx + dy * dy < bestD2) {
                bestD2 = dx * dx + dy * dy;
                best = i;
            }
        }
        return bestD2 < radius * radius ? best : -1;
    };
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 15000; ++i) {
            // Some far beyond the cells the index spans, which share its edge cells.
            const bool crowd = i % 3 != 0, far = i % 50 == 0;
            const double side = crowd ? 30 : 2000, corner = (far ? -4e5 : 0) + (crowd ? 500 : 0);
            store.append(at(corner + random.generateDouble() * side,
                            corner + random.generateDouble() * side),
                         0);
        }
        for (int click = 0; click < 300; ++click) {
            const bool crowd = click % 2 == 0;
            const double shift = click % 5 == 0 ? -4e5 : 0;
            const double x =
                shift + (crowd ? 495 + random.generateDouble() * 40 : random.bounded(2000.0));
            const double y =
                shift + (crowd ? 495 + random.generateDouble() * 40 : random.bounded(2000.0));
            const double radius = click % 3 == 0 ? 1.5 : 8;
            ASSERT_EQ(store.pick(x, y, radius), scan(x, y, radius))
                << "round " << round << " click " << click << " at " << x << ", " << y;
        }
    }
}

TEST(TrackStore, IndexFindsExactlyThePointsInARectangle) {
    // Enough points to pass several merges of the index, some far outside the usual range.
    TTrackStore store;
    QRandomGenerator random(42);
    for (int i = 0; i < 60000; ++i) {
        const double spread = i % 97 == 0 ? 1e7 : 5000;
        store.append(
            at((random.generateDouble() - 0.3) * spread, (random.generateDouble() - 0.3) * spread),
            0);
    }
    for (int q = 0; q < 40; ++q) {
        const QRectF r((random.generateDouble() - 0.3) * 5000,
                       (random.generateDouble() - 0.3) * 5000, random.generateDouble() * 900,
                       random.generateDouble() * 900);
        const quint32 first = q % 2 ? 0 : random.bounded(60000);
        std::vector<quint32> found, expected;
        store.query(r, first, [&](quint32 i) { found.push_back(i); });
        for (quint32 i = first; i < store.size(); ++i)
            if (r.contains(store.x(i), store.y(i))) expected.push_back(i);
        std::sort(found.begin(), found.end());
        ASSERT_EQ(found, expected) << "query " << q;
    }
    EXPECT_LE(store.memoryBytes() / store.size(), 64u);
}

TEST(MapScene, TrackLifecycleWithoutAndWithProjection) {
    TMapScene scene;
    scene.setMapImage(QImage(100, 100, QImage::Format_RGB32));
    scene.setTrackR(8);
    scene.setColor({10}, {Qt::green, Qt::red});
    scene.createScene();
    // Without a projection points are kept at the corner and drawn there until a rebuild.
    scene.addTrackPoint(49.2, 16.6, 300, 5);
    EXPECT_EQ(scene.getTrackLen(), 1);
    EXPECT_EQ(scene.items().size(), 2);
    EXPECT_EQ(scene.trackPoint(0).sceneX, 0);
    scene.createScene();
    EXPECT_EQ(scene.items().size(), 1);
    EXPECT_EQ(scene.getTrackLen(), 1);

    scene.addTrackPoint(49.2, 16.6, 300, 5);
    scene.clearTrack();
    EXPECT_EQ(scene.getTrackLen(), 0);
    EXPECT_EQ(scene.items().size(), 2);  // the drawn discs stay until the next rebuild
    EXPECT_EQ(scene.pick(0, 0), -1);
    scene.createScene();
    EXPECT_EQ(scene.items().size(), 1);
}
