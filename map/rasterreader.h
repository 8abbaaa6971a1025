#pragma once

#include <QImage>
#include <QString>

class QByteArray;

// Reads a map's raster image. A file the decoder would show only in part (a JPEG cut short) is
// refused rather than drawn half grey, and maps far larger than Qt's default image size limit
// load. On refusal returns a null image and says why in `error`.
QImage readMapRaster(const QString &path, QString *error);

// True when the JPEG stream runs from its start marker through every segment and scan to its end
// marker; false for anything cut short or not JPEG.
bool jpegComplete(const uchar *data, qint64 size);
