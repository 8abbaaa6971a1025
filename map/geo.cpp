#include "geo.h"

#include <geodesic.h>
#include <proj.h>

#include <QCoreApplication>
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
    // Projection files written for the classic interface name their system as +init=epsg:NNNN.
    proj_context_use_proj4_init_rules(context, true);
    return context;
}

QString errorText(pj_ctx *context, int error) {
    return QString::fromUtf8(proj_context_errno_string(context, error));
}

PJ *createCrs(pj_ctx *context, const QString &definition) {
    // A bare +proj string is an operation to PROJ; +type=crs makes it the CRS it denotes.
    QByteArray text = definition.trimmed().toUtf8();
    if (text.startsWith('+') && !text.contains("+type=crs")) text += " +type=crs";
    return proj_create(context, text.constData());
}

// A conversion PROJ knows only by its own name ("PROJ affine") is a projection when PROJ's list
// gives it a projection's description, whose second line names its class ("Cyl, Sph").
QString nonProjectionMethod(pj_ctx *context, PJ *projected) {
    PJ *conversion = proj_crs_get_coordoperation(context, projected);
    const char *name = nullptr;
    if (conversion)
        proj_coordoperation_get_method_info(context, conversion, &name, nullptr, nullptr);
    const QByteArray method = name ? QByteArray(name) : QByteArray();
    proj_destroy(conversion);
    if (!method.startsWith("PROJ ")) return {};
    const QByteArray id = method.mid(5);
    for (const PJ_OPERATIONS *op = proj_list_operations(); op->id; ++op)
        if (id == op->id && !QByteArray(*op->descr).contains('\n')) return QString::fromLatin1(id);
    return {};
}

// Empty when `crs` places points on a flat map (projected or geographic, also inside a bound or
// compound CRS); otherwise the kind of definition it is, for the message.
QString nonMapKind(pj_ctx *context, PJ *crs) {
    switch (proj_get_type(crs)) {
        case PJ_TYPE_GEOGRAPHIC_2D_CRS:
        case PJ_TYPE_GEOGRAPHIC_3D_CRS:
            return {};
        case PJ_TYPE_PROJECTED_CRS: {
            const QString method = nonProjectionMethod(context, crs);
            return method.isEmpty()
                       ? QString()
                       : QCoreApplication::translate("TGeoTransform", "%1 transformation")
                             .arg(method);
        }
        case PJ_TYPE_BOUND_CRS:
        case PJ_TYPE_COMPOUND_CRS: {
            PJ *horizontal = proj_get_type(crs) == PJ_TYPE_BOUND_CRS
                                 ? proj_get_source_crs(context, crs)
                                 : proj_crs_get_sub_crs(context, crs, 0);
            const QString kind = horizontal
                                     ? nonMapKind(context, horizontal)
                                     : QCoreApplication::translate("TGeoTransform", "incomplete");
            proj_destroy(horizontal);
            return kind;
        }
        case PJ_TYPE_GEOCENTRIC_CRS:
            return QCoreApplication::translate("TGeoTransform", "geocentric");
        case PJ_TYPE_VERTICAL_CRS:
            return QCoreApplication::translate("TGeoTransform", "vertical");
        case PJ_TYPE_TEMPORAL_CRS:
            return QCoreApplication::translate("TGeoTransform", "temporal");
        case PJ_TYPE_ENGINEERING_CRS:
            return QCoreApplication::translate("TGeoTransform", "engineering");
        default:
            return proj_is_crs(crs)
                       ? QCoreApplication::translate("TGeoTransform", "unknown")
                       : QCoreApplication::translate("TGeoTransform", "coordinate operation");
    }
}

// The map's CRS, or null with the reason in `error`.
PJ *createMapCrs(pj_ctx *context, const QString &definition, QString *error) {
    PJ *crs = createCrs(context, definition);
    if (!crs) {
        if (error) *error = errorText(context, proj_context_errno(context));
        return nullptr;
    }
    const QString kind = nonMapKind(context, crs);
    if (kind.isEmpty()) return crs;
    if (error)
        *error =
            QCoreApplication::translate("TGeoTransform", "not a map projection (%1)").arg(kind);
    proj_destroy(crs);
    return nullptr;
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
    PJ *crs = createCrs(context, definition);
    const bool ok = crs && proj_is_crs(crs);
    if (!ok && error) *error = errorText(context, proj_context_errno(context));
    proj_destroy(crs);
    proj_context_destroy(context);
    return ok;
}

std::unique_ptr<TGeoTransform> TGeoTransform::create(const QString &mapDefinition, QString *error) {
    pj_ctx *context = newContext();
    QString reason;
    PJ *wgs84 = createCrs(context, QString::fromLatin1(kWgs84Definition));
    PJ *map = wgs84 ? createMapCrs(context, mapDefinition, &reason) : nullptr;
    PJ *raw = map ? proj_create_crs_to_crs_from_pj(context, wgs84, map, nullptr, nullptr) : nullptr;
    PJ *normalised = raw ? proj_normalize_for_visualization(context, raw) : nullptr;
    if (!normalised && reason.isEmpty()) reason = errorText(context, proj_context_errno(context));
    proj_destroy(raw);
    proj_destroy(map);
    proj_destroy(wgs84);
    if (!normalised) {
        if (error) *error = reason;
        proj_context_destroy(context);
        return nullptr;
    }
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
