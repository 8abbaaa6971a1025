#include "partialfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>

PartialFile::PartialFile(const QString &path) : m_path(path), m_partial(path + ".partial") {}

PartialFile::~PartialFile() {
    if (m_done || !m_opened) return;  // what was there before open is not ours to remove
    m_file.close();
    QFile::remove(m_partial);
}

bool PartialFile::open() {
    // Anyone who can write to the folder may have put something under NAME.partial: a link must
    // not carry the write elsewhere, a FIFO must not block it. Emptied only once known regular.
    const int fd = ::open(QFile::encodeName(m_partial).constData(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    const int err = errno;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error =
            fd < 0 && err != ELOOP && err != ENXIO
                ? QString::fromLocal8Bit(std::strerror(err))
                : QCoreApplication::translate("PartialFile",
                                              "it is a link or not a regular file; remove it or "
                                              "choose another output name");
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, 0) != 0 ||
        !m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_opened = true;
    return true;
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
    if (std::rename(QFile::encodeName(m_partial).constData(),
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
