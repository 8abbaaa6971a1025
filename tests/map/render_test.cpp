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

    const QRectF all(0, 0, 800, 800);
    const QImage mine = renderItem(store, all, 0.15, 1);
    EXPECT_LE(differingPixels(mine, renderPlainly(*store, all, 0.15, 1), 40),
              mine.width() * mine.height() / 20);
}

TEST(TrackItem, CrowdsLookAsIfEveryDiscWereDrawn) {
    // Against every disc drawn plainly in order, a tiny share of pixels may differ by more than
    // rounding. First survey lines with a crowd on them, readings across five bands, from a disc
    // of 8 pixels up to the largest pre-drawn ones: covered discs' slivers must show where they
    // would. Then discs of 128 pixels hundreds deep, where hidden ones are left out: opaque ones
    // hide what lies below at once, translucent ones only under several others, and every disc
    // has a colour of its own, so that no wrong disc passes for the right one.
    const auto expectPlain = [](const std::shared_ptr<TTrackStore> &store, const QRectF &source,
                                double zoom, qreal ratio, int alpha) {
        const QImage mine = renderItem(store, source, zoom, ratio);
        EXPECT_LE(differingPixels(mine, renderPlainly(*store, source, zoom, ratio), 3),
                  mine.width() * mine.height() / 100)
            << "zoom " << zoom << " ratio " << ratio << " alpha " << alpha;
    };
    QRandomGenerator random(9);
    auto survey = std::make_shared<TTrackStore>();
    const QList<QColor> colours{Qt::darkGreen, Qt::green, Qt::yellow, Qt::darkYellow, Qt::red};
    const auto add = [&](double x, double y) {
        const double v = random.bounded(60.0);
        survey->append(at(x, y, v), survey->styleId(trackColour(v, {10, 20, 30, 40}, colours), 8));
    };
    for (int i = 0; i < 40000; ++i)
        add(i % 200 * 2 + random.bounded(1.5), i / 200 * 8 % 400 + random.bounded(1.5));
    for (int i = 0; i < 20000; ++i)
        add(100 + random.generateDouble() * 100, 100 + random.generateDouble() * 100);
    for (const auto &[zoom, ratio] : {std::pair{1.0, 1.0}, {1.0, 2.0}, {4.0, 1.0}})
        expectPlain(survey, QRectF(50, 50, 200, 200), zoom, ratio, 200);

    for (const int alpha : {200, 255}) {
        auto crowd = std::make_shared<TTrackStore>();
        for (int i = 0; i < 4000; ++i)
            crowd->append(at(100 + random.generateDouble() * 40, 100 + random.generateDouble() * 40,
                             random.bounded(30.0)),
                          crowd->styleId(QColor::fromHsv(i % 360, 255, 128 + i % 128, alpha), 8));
        for (const qreal ratio : {1.0, 2.0})
            expectPlain(crowd, QRectF(110.3, 111.7, 20, 20), 16, ratio, alpha);
    }
}
