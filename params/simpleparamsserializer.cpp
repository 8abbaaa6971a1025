#include "simpleparamsserializer.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcParams, "survokart.params", QtInfoMsg)

// The parameter file is plain UTF-8 text with one `key=value` per line, keys being the section
// names and the row name joined by ".". People open these files in an editor to compare or fix
// a setting in the field, so the format is one any text editor and diff tool shows plainly;
// "#" comments and blank lines let them annotate it. The value is everything after the first
// "=", spaces included, so texts round-trip unchanged; only a line break cannot be stored.

namespace {

// Far beyond any real parameter set; refusing more keeps a wrong file from filling memory.
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;
// Enough skipped lines to see what is wrong with a file without flooding the log.
constexpr int kMaxLineWarnings = 10;

QString tr(const char *text) {
    return QCoreApplication::translate("SimpleParamsSerializer", text);
}

bool hasLineBreak(const QString &text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

}  // namespace

SimpleParamsSerializer::SimpleParamsSerializer(const QString &fileName) {
    readFile(fileName);
}

std::shared_ptr<ParamsSerializer> SimpleParamsSerializer::createSerializer(
    const QString &fileName) {
    if (fileName.isEmpty()) return std::make_shared<SimpleParamsSerializer>();
    return std::make_shared<SimpleParamsSerializer>(fileName);
}

QString SimpleParamsSerializer::fullKey(const QStringList &path, const QString &key) {
    QString full;
    for (const QString &name : path) {
        if (!name.isEmpty()) full += name + QLatin1Char('.');
    }
    return full + key;
}

void SimpleParamsSerializer::store(const QString &key, const QString &text) {
    if (!m_values.contains(key)) m_order.append(key);
    m_values.insert(key, text);
}

void SimpleParamsSerializer::store(const QStringList &path, const QString &key,
                                   const QString &text) {
    store(fullKey(path, key), text);
}

QString SimpleParamsSerializer::load(const QString &key, const QString &defaultText) const {
    return m_values.value(key, defaultText);
}

QString SimpleParamsSerializer::load(const QStringList &path, const QString &key,
                                     const QString &defaultText) const {
    return load(fullKey(path, key), defaultText);
}

bool SimpleParamsSerializer::readFile(const QString &fileName) {
    // The user may pick anything: a FIFO would block the open until someone writes to it, and a
    // device such as /dev/zero never ends and says its size is 0. So the open does not wait, only
    // a regular file is read, and never more than the limit.
    const int fd =
        ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        m_error = tr("Cannot open %1: %2").arg(fileName, reason);
        return false;
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);  // cannot fail for a read fd
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error = tr("%1 is not a regular file. Choose a parameter file saved by Survokart.")
                      .arg(fileName);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // reads of a file may wait again
    const QByteArray contents = file.read(kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        m_error = tr("Cannot read %1: %2").arg(fileName, file.errorString());
        return false;
    }
    if (contents.size() > kMaxFileSize) {
        m_error = tr("%1 is too large for a parameter file.").arg(fileName);
        return false;
    }
    const int skipped = parse(contents);
    if (skipped > 0) qCWarning(lcParams) << fileName << ":" << skipped << "lines skipped";
    return true;
}

int SimpleParamsSerializer::parse(const QByteArray &contents) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(contents);
    if (decoder.hasError())
        qCWarning(lcParams) << "parameter file is not valid UTF-8; bad bytes replaced";
    int skipped = 0;
    int lineNumber = 0;
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        ++lineNumber;
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);  // written on Windows
        if (lineNumber == 1 && line.startsWith(QChar(0xFEFF))) line = line.mid(1);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#'))) continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QStringView key = equals < 0 ? QStringView() : line.left(equals).trimmed();
        if (key.isEmpty()) {
            if (++skipped <= kMaxLineWarnings)
                qCWarning(lcParams)
                    << "parameter file line" << lineNumber << "is not key=value; skipped";
            continue;
        }
        store(key.toString(), line.mid(equals + 1).toString());
    }
    return skipped;
}

QString SimpleParamsSerializer::heading() const {
    return QStringLiteral("# Survokart parameters");
}

QByteArray SimpleParamsSerializer::serialize() const {
    QString text = heading() + QLatin1Char('\n');
    for (const QString &key : m_order)
        text += key + QLatin1Char('=') + m_values.value(key) + QLatin1Char('\n');
    return text.toUtf8();
}

// A key or value that would not read back as it was stored is refused, not written garbled.
bool SimpleParamsSerializer::checkWritable() {
    for (const QString &key : m_order) {
        const bool keyOk = !key.isEmpty() && key == key.trimmed() && !hasLineBreak(key) &&
                           !key.contains(QLatin1Char('=')) && !key.startsWith(QLatin1Char('#'));
        if (!keyOk) {
            m_error = tr("The parameter name \"%1\" cannot be written to a file.").arg(key);
            return false;
        }
        if (hasLineBreak(m_values.value(key))) {
            m_error = tr("The value of %1 contains a line break and cannot be written.").arg(key);
            return false;
        }
    }
    return true;
}

bool SimpleParamsSerializer::saveAll(const QString &fileName) {
    m_error.clear();
    if (!checkWritable()) return false;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        m_error = tr("Cannot write %1: %2").arg(fileName, file.errorString());
        return false;
    }
    const QByteArray contents = serialize();
    if (file.write(contents) != contents.size() || !file.commit()) {
        m_error = tr("Cannot write %1: %2").arg(fileName, file.errorString());
        return false;
    }
    return true;
}
