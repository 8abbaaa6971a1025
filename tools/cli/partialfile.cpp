#include "partialfile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

PartialFile::PartialFile(const QString &path) : m_path(path), m_file(path + ".partial") {}

PartialFile::~PartialFile() {
    if (m_done) return;
    m_file.close();
    m_file.remove();
}

bool PartialFile::open() {
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return true;
    m_error = m_file.errorString();
    return false;
}

bool PartialFile::write(const QByteArray &bytes) {
    if (m_file.write(bytes) == bytes.size()) return true;
    m_error = m_file.errorString();
    return false;
}

bool PartialFile::close() {
    // A full disk may show only when the buffered tail is written; the data is on the disk before
    // the name says the file is complete.
    bool flushed = m_file.flush();
    if (!flushed) m_error = m_file.errorString();
    if (flushed && ::fsync(m_file.handle()) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        flushed = false;
    }
    m_file.close();
    return flushed;
}

bool PartialFile::commit() {
    if (!close()) return false;
    // rename(2) replaces an existing NAME in one step, which QFile::rename does not.
    if (std::rename(QFile::encodeName(m_file.fileName()).constData(),
                    QFile::encodeName(m_path).constData()) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_done = true;
    return true;
}

bool PartialFile::keep() {
    m_done = true;
    return close();
}
