#include "geo.h"
#include "mapscene.h"
#include "oracle.h"
#include "worldfile.h"

#include <gtest/gtest.h>
#include <QBuffer>
#include <QTemporaryDir>

#include <cmath>

namespace {
const char *const kUtm33 = "+proj=utm +zone=33 +ellps=WGS84 +datum=WGS84 +units=m +no_defs";

std::optional<TWorldFile> parse(const QByteArray &text) {
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    return TWorldFile::parse(buffer);
}

using test::oracle;
}  // namespace

TEST(GeoTransform, MatchesCs2csAndRoundTrips) {
    QString error;
    const auto geo = TGeoTransform::create(kUtm33, &error);
    ASSERT_TRUE(geo) << error.toStdString();
    double x, y;
    ASSERT_TRUE(geo->toMap(49.2, 16.6, &x, &y));
    EXPECT_NEAR(x, 616556.553, 1e-3);
    EXPECT_NEAR(y, 5450921.330, 1e-3);

    const QStringList cs2cs =
        oracle("cs2cs",
               {"+proj=latlong", "+ellps=WGS84", "+datum=WGS84", "+no_defs", "+to", "+proj=utm",
                "+zone=33", "+ellps=WGS84", "+datum=WGS84", "+units=m", "+no_defs", "-f", "%.6f"},
               "16.6 49.2");
    if (cs2cs.size() >= 2) {
        EXPECT_NEAR(x, cs2cs[0].toDouble(), 1e-6);
        EXPECT_NEAR(y, cs2cs[1].toDouble(), 1e-6);
    } else {
        ADD_FAILURE() << "cs2cs (proj-bin) is needed as the oracle";
    }

    double lat, lon;
    ASSERT_TRUE(geo->toGeographic(x, y, &lat, &lon));
    EXPECT_NEAR(lat, 49.2, 1e-10);
    EXPECT_NEAR(lon, 16.6, 1e-10);
}

TEST(GeoTransform, UntransformablePointsAndRefusedDefinitions) {
    const auto geo = TGeoTransform::create(kUtm33, nullptr);
    double x, y;
    EXPECT_FALSE(geo->toMap(95, 16.6, &x, &y));
    EXPECT_FALSE(std::isfinite(x));
    EXPECT_FALSE(geo->toMap(NAN, 16.6, &x, &y));

    QString error;
    EXPECT_FALSE(TGeoTransform::create("+proj=nonsense", &error));
    EXPECT_FALSE(error.isEmpty());  // PROJ's own words
    EXPECT_TRUE(TGeoTransform::checkDefinition(TGeoTransform::kWgs84Definition, nullptr));
    error.clear();
    EXPECT_FALSE(TGeoTransform::checkDefinition("+proj=latlong +ellps=nowhere", &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(GeoTransform, TakesOnlyMapProjectionsAndClassicInitNames) {
    const auto init = TGeoTransform::create("+init=epsg:32633", nullptr);
    ASSERT_TRUE(init);
    double x, y;
    ASSERT_TRUE(init->toMap(49.2, 16.6, &x, &y));
    EXPECT_NEAR(x, 616556.553, 1e-3);
    EXPECT_NEAR(y, 5450921.330, 1e-3);
    EXPECT_TRUE(TGeoTransform::create("+proj=robin +datum=WGS84", nullptr));
    EXPECT_TRUE(TGeoTransform::create("+proj=healpix +datum=WGS84", nullptr));
    EXPECT_TRUE(TGeoTransform::create("+proj=latlong +datum=WGS84", nullptr));
    EXPECT_TRUE(
        TGeoTransform::create("+proj=utm +zone=33 +ellps=bessel +towgs84=570,85,462", nullptr));

    const std::pair<const char *, const char *> refused[] = {
        {"+proj=geocent +datum=WGS84", "geocentric"},
        {"EPSG:5773", "vertical"},
        {"+proj=affine +xoff=500000 +s11=2", "affine"},
        {"+proj=helmert +x=1", "coordinate operation"}};
    for (const auto &[definition, kind] : refused) {
        QString error;
        EXPECT_FALSE(TGeoTransform::create(definition, &error)) << definition;
        EXPECT_TRUE(error.contains(kind)) << definition << ": " << error.toStdString();
    }
}

TEST(Geodesic, MatchesGeodOracle) {
    const TGeodesic g = geodesicInverse(49.2, 16.6, 50.08, 14.42);
    EXPECT_NEAR(g.distance, 185389.408, 1e-3);
    EXPECT_NEAR(g.azimuth, 360 - 57.308183, 1e-6);
    const QStringList geod =
        oracle("geod", {"+ellps=WGS84", "-I", "+units=m", "-f", "%.9f"}, "49.2 16.6 50.08 14.42");
    ASSERT_EQ(geod.size(), 3);
    EXPECT_NEAR(g.azimuth - 360, geod[0].toDouble(), 1e-9);
    EXPECT_NEAR(g.distance, geod[2].toDouble(), 1e-3);  // geod prints millimetres
    EXPECT_NEAR(geodesicInverse(49, 16, 50, 16).azimuth, 0, 1e-9);
    EXPECT_NEAR(geodesicInverse(49, 16, 48, 16).azimuth, 180, 1e-9);
}

TEST(WorldFile, PixelCentreConventionAndRefusals) {
    const auto world = parse("2\n0\n0\n-2\n1000\n5000\n");
    ASSERT_TRUE(world);
    // Lines 5 and 6 name the centre of the upper-left pixel.
    EXPECT_EQ(world->mapToScene(1000, 5000), QPointF(0.5, 0.5));
    EXPECT_EQ(world->mapToScene(999, 5001), QPointF(0, 0));
    EXPECT_EQ(world->sceneToMap(10.5, 20.5), QPointF(1020, 4960));
    EXPECT_TRUE(parse(" 2 \r\n0\n0\n-2\n1000\n5000"));  // white space, no final line end

    EXPECT_FALSE(parse("2\n0\n0\n-2\n1000\n"));        // five lines
    EXPECT_FALSE(parse("0\n0\n0\n-2\n1000\n5000\n"));  // pixel size 0
    EXPECT_FALSE(parse("2\n0\n0\n0\n1000\n5000\n"));
    EXPECT_FALSE(parse("2\n0\n0\n-2\neast\n5000\n"));
    EXPECT_FALSE(parse(""));
}

TEST(WorldFile, RotationTermsTakePart) {
    // 2 m pixels turned 30 degrees: a column step goes (1.732, 1), a row step (1, -1.732).
    const double c = 2 * std::cos(M_PI / 6), s = 2 * std::sin(M_PI / 6);
    const auto world = parse(QString("%1\n%2\n%3\n%4\n1000\n5000\n")
                                 .arg(c, 0, 'g', 17)
                                 .arg(s, 0, 'g', 17)
                                 .arg(s, 0, 'g', 17)
                                 .arg(-c, 0, 'g', 17)
                                 .toUtf8());
    ASSERT_TRUE(world);
    const QPointF map = world->sceneToMap(300.5, 200.5);
    EXPECT_NEAR(map.x(), 1000 + 300 * c + 200 * s, 1e-9);
    EXPECT_NEAR(map.y(), 5000 + 300 * s - 200 * c, 1e-9);
    const QPointF back = world->mapToScene(map.x(), map.y());
    EXPECT_NEAR(back.x(), 300.5, 1e-9);
    EXPECT_NEAR(back.y(), 200.5, 1e-9);
    EXPECT_TRUE(parse("0\n2\n2\n0\n1000\n5000\n"));   // a quarter turn: no pixel size term
    EXPECT_FALSE(parse("2\n4\n1\n2\n1000\n5000\n"));  // singular
    EXPECT_FALSE(parse("2\ninf\n0\n-2\n1000\n5000\n"));
}

TEST(MapScene, GeographicToSceneAgreesWithCs2csThroughTheWorldFile) {
    QTemporaryDir dir;
    const auto write = [&](const QString &name, const QByteArray &text) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    write("m.pgw", "2.5\n0\n0\n-2.5\n616000\n5452000\n");
    write("m.ppr", QByteArray(kUtm33) + "\n");
    TMapScene scene;
    double sx, sy, lat, lon;
    EXPECT_FALSE(scene.convToProj(49.2, 16.6, &sx, &sy));  // nothing loaded: zeros
    EXPECT_EQ(QPointF(sx, sy), QPointF(0, 0));
    ASSERT_TRUE(scene.loadCalFile(dir.filePath("m.pgw")));
    ASSERT_TRUE(scene.loadProjFile(dir.filePath("m.ppr")));

    ASSERT_TRUE(scene.convToProj(49.2, 16.6, &sx, &sy));
    // The oracle's figures are rounded to millimetres.
    EXPECT_NEAR(sx, (616556.553 - 616000) / 2.5 + 0.5, 5e-4);
    EXPECT_NEAR(sy, (5450921.330 - 5452000) / -2.5 + 0.5, 5e-4);
    ASSERT_TRUE(scene.convToWorld(sx, sy, &lat, &lon));
    EXPECT_NEAR(lat, 49.2, 1e-10);
    EXPECT_NEAR(lon, 16.6, 1e-10);
    EXPECT_FALSE(scene.convToProj(91, 16.6, &sx, &sy));

    write("bad.ppr", "+proj=nonsense\n");
    EXPECT_FALSE(scene.loadProjFile(dir.filePath("bad.ppr")));
    EXPECT_FALSE(scene.projError().isEmpty());
    EXPECT_FALSE(scene.hasProjection());  // a refused definition leaves no projection
    EXPECT_FALSE(scene.loadProjFile(dir.filePath("missing.ppr")));
}
