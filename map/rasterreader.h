#pragma once

#include <QString>
#include <QtGlobal>

// False only for a file that starts as a JPEG and is cut short or damaged: decoders show such a
// file in part, the rest grey, with no more than a warning. Anything else (other formats, files
// that cannot be read) is left to the raster reader to judge.
bool jpegCompleteOrOtherFormat(const QString &path);

// True when the JPEG stream runs from its start marker through every segment and scan to its end
// marker; false for anything cut short or not JPEG.
bool jpegComplete(const uchar *data, qint64 size);
