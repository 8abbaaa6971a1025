#include "rasterreader.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>

namespace {
bool isRestart(uchar marker) {
    return marker >= 0xd0 && marker <= 0xd7;
}

// Index of the marker that ends the entropy-coded data starting at `i`, or `size` when none does.
qint64 endOfScan(const uchar *data, qint64 size, qint64 i) {
    while (i + 1 < size) {
        const void *ff = std::memchr(data + i, 0xff, size_t(size - i - 1));
        if (!ff) return size;
        i = static_cast<const uchar *>(ff) - data;
        const uchar next = data[i + 1];
        // 0x00 is a stuffed data byte, 0xff a fill byte before a marker.
        if (next != 0x00 && next != 0xff && !isRestart(next)) return i;
        ++i;
    }
    return size;
}

bool fileIsCompleteJpeg(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const qint64 size = file.size();
    const uchar *data = size > 0 ? file.map(0, size) : nullptr;
    if (data) return jpegComplete(data, size);
    const QByteArray all = file.readAll();
    return jpegComplete(reinterpret_cast<const uchar *>(all.constData()), all.size());
}
}  // namespace

bool jpegComplete(const uchar *data, qint64 size) {
    if (size < 4 || data[0] != 0xff || data[1] != 0xd8) return false;
    qint64 i = 2;
    while (i + 1 < size) {
        if (data[i] != 0xff) return false;
        const uchar marker = data[i + 1];
        i += marker == 0xff ? 1 : 2;
        if (marker == 0xff || marker == 0x01 || isRestart(marker)) continue;
        if (marker == 0xd9) return true;
        if (i + 1 >= size) return false;
        const qint64 length = (qint64(data[i]) << 8) | data[i + 1];
        if (length < 2) return false;
        i += length;
        if (marker == 0xda) i = endOfScan(data, size, i);
    }
    return false;
}

bool jpegCompleteOrOtherFormat(const QString &path) {
    // Only regular files are looked into: a FIFO would block the read.
    if (!QFileInfo(path).isFile()) return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.peek(2) != QByteArray("\xff\xd8", 2)) return true;
    return fileIsCompleteJpeg(path);
}
