#include "geo.h"

#include <geodesic.h>
#include <proj.h>

#include <cmath>

const char *const TGeoTransform::kWgs84Definition =
    "+proj=latlong +ellps=WGS84 +datum=WGS84 +no_defs";

namespace {
// Errors are read from the context and shown by the caller; PROJ's own stderr log only duplicates
// them.
void quietLog(void *, int, const char *) {}

pj_ctx *newContext() {
    pj_ctx *context = proj_context_create();
    proj_log_func(context, nullptr, quietLog);
    return context;
}

QString errorText(pj_ctx *context, int error) {
    return QString::fromUtf8(proj_context_errno_string(context, error));
}
}  // namespace

TGeoTransform::TGeoTransform(pj_ctx *context, PJconsts *transform)
    : m_context(context), m_transform(transform) {}

TGeoTransform::~TGeoTransform() {
    proj_destroy(m_transform);
    proj_context_destroy(m_context);
}

bool TGeoTransform::checkDefinition(const QString &definition, QString *error) {
    pj_ctx *context = newContext();
    // A bare +proj string is an operation to PROJ; +type=crs makes it the CRS it denotes.
    QByteArray text = definition.trimmed().toUtf8();
    if (text.startsWith('+')) text += " +type=crs";
    PJ *crs = proj_create(context, text.constData());
    const bool ok = crs && proj_is_crs(crs);
    if (!ok && error) *error = errorText(context, proj_context_errno(context));
    proj_destroy(crs);
    proj_context_destroy(context);
    return ok;
}

std::unique_ptr<TGeoTransform> TGeoTransform::create(const QString &mapDefinition, QString *error) {
    pj_ctx *context = newContext();
    const QByteArray target = mapDefinition.trimmed().toUtf8();
    PJ *raw = proj_create_crs_to_crs(context, kWgs84Definition, target.constData(), nullptr);
    PJ *normalised = raw ? proj_normalize_for_visualization(context, raw) : nullptr;
    if (!normalised) {
        if (error) *error = errorText(context, proj_context_errno(context));
        proj_destroy(raw);
        proj_context_destroy(context);
        return nullptr;
    }
    proj_destroy(raw);
    return std::unique_ptr<TGeoTransform>(new TGeoTransform(context, normalised));
}

namespace {
bool transform(PJ *pj, PJ_DIRECTION direction, double a, double b, double *outA, double *outB) {
    PJ_COORD c = proj_trans(pj, direction, proj_coord(a, b, 0, HUGE_VAL));
    *outA = c.xy.x;
    *outB = c.xy.y;
    return std::isfinite(*outA) && std::isfinite(*outB);
}
}  // namespace

bool TGeoTransform::toMap(double latitude, double longitude, double *mapX, double *mapY) const {
    if (!std::isfinite(latitude) || !std::isfinite(longitude)) {
        *mapX = *mapY = HUGE_VAL;
        return false;
    }
    // Normalised for visualisation: longitude first, as the classic interface took it.
    return transform(m_transform, PJ_FWD, longitude, latitude, mapX, mapY);
}

bool TGeoTransform::toGeographic(double mapX, double mapY, double *latitude,
                                 double *longitude) const {
    if (!std::isfinite(mapX) || !std::isfinite(mapY)) {
        *latitude = *longitude = HUGE_VAL;
        return false;
    }
    return transform(m_transform, PJ_INV, mapX, mapY, longitude, latitude);
}

TGeodesic geodesicInverse(double latitude1, double longitude1, double latitude2,
                          double longitude2) {
    geod_geodesic g;
    geod_init(&g, 6378137.0, 1 / 298.257223563);
    double distance = 0, azimuth1 = 0, azimuth2 = 0;
    geod_inverse(&g, latitude1, longitude1, latitude2, longitude2, &distance, &azimuth1, &azimuth2);
    // Compass bearings read 0 to 360 in the field; geod gives -180 to 180.
    if (azimuth1 < 0) azimuth1 += 360.0;
    if (azimuth1 >= 360.0) azimuth1 -= 360.0;
    return {distance, azimuth1};
}
