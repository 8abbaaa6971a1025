#include "colour.h"
#include "trackitem.h"
#include "trackstore.h"

#include <gtest/gtest.h>
#include <QGraphicsEllipseItem>
#include <QGraphicsScene>
#include <QPainter>
#include <QRandomGenerator>
#include <numeric>

namespace {
TTrackPoint at(double x, double y, double value) {
    return {0, 0, 0, value, x, y};
}
}  // namespace

namespace {
QImage render(QGraphicsScene &scene, const QRectF &source, QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    scene.render(&painter, QRectF(QPointF(0, 0), size), source);
    return image;
}

// Pixels whose colours differ by more than `tolerance` in some channel.
int differingPixels(const QImage &a, const QImage &b, int tolerance = 0) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            n += std::abs(qRed(p) - qRed(q)) > tolerance ||
                 std::abs(qGreen(p) - qGreen(q)) > tolerance ||
                 std::abs(qBlue(p) - qBlue(q)) > tolerance;
        }
    return n;
}

// The same discs as one ellipse item each, stacked by z = reading: the reference drawing.
void addReferenceDiscs(QGraphicsScene &scene, const TTrackStore &store) {
    for (quint32 i = 0; i < store.size(); ++i) {
        const TTrackStore::Style &s = store.style(store.styleOf(i));
        auto *e = scene.addEllipse(0, 0, s.diameter, s.diameter, QPen(s.colour, 1), s.colour);
        e->setPos(store.x(i) - 0.5 * s.diameter, store.y(i) - 0.5 * s.diameter);
        e->setZValue(store.value(i));
    }
}
}  // namespace

TEST(TrackItem, DrawsLikeOneEllipseItemPerPoint) {
    auto store = std::make_shared<TTrackStore>();
    const QList<QColor> colours{Qt::green, Qt::yellow, Qt::red};
    QRandomGenerator random(7);
    const auto fill = [&](int count, double span) {
        for (int i = 0; i < count; ++i) {
            const double v = random.bounded(30.0);
            store->append(at(random.generateDouble() * span, random.generateDouble() * span, v),
                          store->styleId(trackColour(v, {10, 20}, colours), 12));
        }
    };
    fill(300, 400);
    QGraphicsScene mine, reference;
    mine.addItem(new TTrackItem(store, 0));
    addReferenceDiscs(reference, *store);
    const QRectF all(0, 0, 400, 400);
    EXPECT_EQ(differingPixels(render(mine, all, {400, 400}), render(reference, all, {400, 400})),
              0);

    // Many more points, seen zoomed out: one disc per device pixel and then single pixels. The
    // highest reading must still be the one on top; only the slivers of hidden discs may differ
    // (random readings make this the worst case).
    fill(20000, 400);
    mine.clear();
    reference.clear();
    mine.addItem(new TTrackItem(store, 0));
    addReferenceDiscs(reference, *store);
    for (const QSize size : {QSize(200, 200), QSize(60, 60)}) {
        const QImage a = render(mine, all, size), b = render(reference, all, size);
        EXPECT_LT(differingPixels(a, b, 60), a.width() * a.height() / 20) << size.width();
    }
}

TEST(TrackItem, HighDensityScreensDrawTheSameShareOfTrackInDevicePixels) {
    auto store = std::make_shared<TTrackStore>();
    QRandomGenerator random(11);
    for (int i = 0; i < 5000; ++i)
        store->append(at(random.generateDouble() * 4000, random.generateDouble() * 4000, 1),
                      store->styleId(Qt::red, 32));
    const auto renderAt = [&](QSize size, qreal ratio) {
        QImage image(size * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::white);
        QGraphicsScene scene;
        scene.addItem(new TTrackItem(store, 0));
        QPainter painter(&image);
        scene.render(&painter, QRectF(QPointF(0, 0), size), QRectF(0, 0, 4000, 4000));
        return image;
    };
    const auto trackShare = [](const QImage &image) {
        int track = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                track += qGray(image.pixel(x, y)) < 200;
        return double(track) / (image.width() * image.height());
    };
    // Crowded: pre-drawn discs of 8 logical pixels; then so far out that discs become dots.
    for (const QSize size : {QSize(1000, 1000), QSize(100, 100)}) {
        const QImage two = renderAt(size, 2);
        const double shareAtOne = trackShare(renderAt(size, 1)), shareAtTwo = trackShare(two);
        EXPECT_NEAR(shareAtTwo / shareAtOne, 1, 0.3) << size.width();
        if (size.width() < 1000) continue;
        // Discs drawn at logical resolution and scaled up would leave every 2 x 2 block uniform.
        int mixed = 0;
        for (int y = 0; y + 1 < two.height(); y += 2)
            for (int x = 0; x + 1 < two.width(); x += 2)
                mixed += two.pixel(x, y) != two.pixel(x + 1, y + 1);
        EXPECT_GT(mixed, 1000);
    }
}

TEST(TrackItem, ZoomedOutLooksLikeTheDiscs) {
    // A survey of lines 1.2 pixels apart at zoom 0.15, and a random cluster of mixed readings on
    // it, against one ellipse per point drawn in stacking order: no stripes, no paler track.
    auto store = std::make_shared<TTrackStore>();
    const QList<QColor> colours{Qt::darkGreen, Qt::blue, Qt::red};
    QRandomGenerator random(5);
    const auto add = [&](double x, double y, double v) {
        store->append(at(x, y, v), store->styleId(trackColour(v, {10, 20}, colours), 8));
    };
    for (int line = 0; line < 100; ++line)
        for (int step = 0; step < 400; ++step)
            add(step * 2 + random.bounded(1.5), line * 8 + random.bounded(1.5), 5);
    for (int i = 0; i < 20000; ++i)
        add(200 + random.generateDouble() * 400, 200 + random.generateDouble() * 400,
            random.bounded(30.0));

    const double zoom = 0.15;
    const QRectF all(0, 0, 800, 800);
    const QSize size = (all.size() * zoom).toSize();
    QGraphicsScene scene;
    scene.addItem(new TTrackItem(store, 0));
    const QImage mine = render(scene, all, size);

    std::vector<quint32> order(store->size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](quint32 a, quint32 b) { return store->isAbove(b, a); });
    QImage reference(size, QImage::Format_ARGB32_Premultiplied);
    reference.fill(Qt::white);
    QPainter painter(&reference);
    painter.scale(zoom, zoom);
    for (quint32 i : order) {
        const TTrackStore::Style &s = store->style(store->styleOf(i));
        painter.setPen(QPen(s.colour, 1));
        painter.setBrush(s.colour);
        painter.drawEllipse(QRectF(store->x(i) - 0.5 * s.diameter, store->y(i) - 0.5 * s.diameter,
                                   s.diameter, s.diameter));
    }
    painter.end();
    EXPECT_LE(differingPixels(mine, reference, 40), size.width() * size.height() / 20);
}

namespace {
// Every disc drawn in stacking order by a plain painter: what the item must look like.
QImage renderPlainly(const TTrackStore &store, const QRectF &source, double zoom, qreal ratio) {
    QImage image((source.size() * zoom * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::white);
    std::vector<quint32> order(store.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](quint32 a, quint32 b) { return store.isAbove(b, a); });
    QPainter painter(&image);
    painter.scale(zoom, zoom);
    painter.translate(-source.topLeft());
    for (quint32 i : order) {
        const TTrackStore::Style &s = store.style(store.styleOf(i));
        painter.setPen(QPen(s.colour, 1));
        painter.setBrush(s.colour);
        painter.drawEllipse(QRectF(store.x(i) - 0.5 * s.diameter, store.y(i) - 0.5 * s.diameter,
                                   s.diameter, s.diameter));
    }
    return image;
}

QImage renderItem(const std::shared_ptr<TTrackStore> &store, const QRectF &source, double zoom,
                  qreal ratio) {
    QImage image((source.size() * zoom * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::white);
    QGraphicsScene scene;
    scene.addItem(new TTrackItem(store, 0));
    QPainter painter(&image);
    scene.render(&painter, QRectF(QPointF(0, 0), source.size() * zoom), source);
    return image;
}
}  // namespace

TEST(TrackItem, CrowdedLargeDiscsLookAsIfEveryOneWereDrawn) {
    // Hundreds of discs over every pixel, mixed readings, seen close up: leaving out the hidden
    // ones must not show, at either pixel ratio, nor where the view cuts through discs. Opaque
    // discs hide what lies below at once, translucent ones only under several others; colours
    // all different, so that no wrong disc passes for the right one.
    for (const int alpha : {200, 255}) {
        auto store = std::make_shared<TTrackStore>();
        QRandomGenerator random(9);
        for (int i = 0; i < 4000; ++i) {
            const double v = random.bounded(30.0);
            const QColor colour = QColor::fromHsv(i % 360, 255, 128 + i % 128, alpha);
            store->append(
                at(100 + random.generateDouble() * 40, 100 + random.generateDouble() * 40, v),
                store->styleId(colour, 8));
        }
        for (const auto &[zoom, ratio] : {std::pair{16.0, 1.0}, {16.0, 2.0}, {6.0, 1.0}}) {
            const QRectF source(110.3, 111.7, 20, 20);
            const QImage mine = renderItem(store, source, zoom, ratio);
            const QImage plain = renderPlainly(*store, source, zoom, ratio);
            const int pixels = mine.width() * mine.height();
            EXPECT_LE(differingPixels(mine, plain, 3), pixels / 1000)
                << alpha << " at " << zoom << " x" << ratio;
        }
    }
}

TEST(TrackItem, SurveyWithACrowdLooksAsIfEveryDiscWereDrawn) {
    // Survey lines with a crowd on them, readings across five bands, from a pixel a disc up to
    // the largest pre-drawn ones: the slivers of covered discs must show where they would.
    auto store = std::make_shared<TTrackStore>();
    const QList<QColor> colours{Qt::darkGreen, Qt::green, Qt::yellow, Qt::darkYellow, Qt::red};
    QRandomGenerator random(9);
    const auto add = [&](double x, double y) {
        const double v = random.bounded(60.0);
        store->append(at(x, y, v), store->styleId(trackColour(v, {10, 20, 30, 40}, colours), 8));
    };
    for (int i = 0; i < 40000; ++i)
        add(i % 200 * 2 + random.bounded(1.5), i / 200 * 8 % 400 + random.bounded(1.5));
    for (int i = 0; i < 20000; ++i)
        add(100 + random.generateDouble() * 100, 100 + random.generateDouble() * 100);
    for (const auto &[zoom, ratio] : {std::pair{1.0, 1.0}, {1.0, 2.0}, {4.0, 1.0}}) {
        const QRectF source(0, 0, 400, 400);
        const QImage mine = renderItem(store, source, zoom, ratio);
        const QImage plain = renderPlainly(*store, source, zoom, ratio);
        const int pixels = mine.width() * mine.height();
        EXPECT_LE(differingPixels(mine, plain, 3), pixels / 100) << zoom << " x" << ratio;
    }
}
