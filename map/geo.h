#pragma once

#include <QString>
#include <memory>

struct pj_ctx;
struct PJconsts;

// WGS84 geographic coordinates to and from the map's projected coordinates through PROJ. Inputs
// and outputs are degrees (latitude, longitude) and map units; the numbers equal those of the
// classic pj_transform between the same two definitions. One instance belongs to one thread.
class TGeoTransform {
public:
    static const char *const kWgs84Definition;

    ~TGeoTransform();
    TGeoTransform(const TGeoTransform &) = delete;
    TGeoTransform &operator=(const TGeoTransform &) = delete;

    // Checks that PROJ accepts a definition as a coordinate reference system; on refusal returns
    // false and puts PROJ's own error text into `error`.
    static bool checkDefinition(const QString &definition, QString *error);

    // From WGS84 to `mapDefinition` (a PROJ string, as in a projection definition file, or any
    // CRS PROJ knows, "+init=epsg:NNNN" included). Only map projections and geographic systems are
    // taken: geocentric, vertical or affine definitions would put points anywhere. Null on
    // refusal, with the reason (PROJ's own text, or the kind of definition) in `error`.
    static std::unique_ptr<TGeoTransform> create(const QString &mapDefinition, QString *error);

    // False, with infinite outputs, where PROJ cannot transform the point.
    bool toMap(double latitude, double longitude, double *mapX, double *mapY) const;
    bool toGeographic(double mapX, double mapY, double *latitude, double *longitude) const;

private:
    TGeoTransform(pj_ctx *context, PJconsts *transform);

    pj_ctx *m_context;
    PJconsts *m_transform;
};

// Geodesic on the WGS84 ellipsoid between two points in degrees: distance in metres and forward
// azimuth at the first point in degrees, clockwise from north in [0, 360).
struct TGeodesic {
    double distance = 0;
    double azimuth = 0;
};
TGeodesic geodesicInverse(double latitude1, double longitude1, double latitude2, double longitude2);
