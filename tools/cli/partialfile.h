// An output file that appears under its name only once it is complete: the bytes go to
// NAME.partial, which is renamed to NAME on commit. A file given up is removed, or kept under its
// .partial name when it holds data someone may want.
#pragma once

#include <QFile>
#include <QString>

class PartialFile {
public:
    explicit PartialFile(const QString &path);
    ~PartialFile();  // removes the partial file unless it was committed or kept

    // Creates (or empties) NAME.partial; refuses a link or anything but a regular file there.
    bool open();
    bool write(const QByteArray &bytes);
    // Closes and renames to NAME, replacing what was there.
    bool commit();
    // Closes and leaves NAME.partial; NAME is untouched.
    bool keep();

    QString partialPath() const { return m_partial; }
    // Why the last step failed.
    QString errorString() const { return m_error; }

private:
    bool close();

    QString m_path;
    QString m_partial;
    QFile m_file;  // opened on the descriptor that was checked, so it has no name of its own
    QString m_error;
    bool m_opened = false;  // NAME.partial is ours to remove
    bool m_done = false;
};
