// Writes a ".gps" text file with the latest live GPS position beside every new JPEG picture that
// turns up in the watched picture folder. Pictures present when the folder is taken on, or when it
// appears (a camera card mounted later), are only recorded, never tagged; each picture is tagged
// at most once while the folder is there.
//
// GUI thread only: the watcher reports through the event loop, and the outcome of each picture is
// reported by signal (the window shows it in a modal box, whose nested event loop may start
// another scan; the picture is recorded before it is reported, so it is never tagged twice).
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class Geotagger : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    // A fix older than this no longer tells where the photographer stands.
    static constexpr std::chrono::seconds kFixLifetime{60};

    explicit Geotagger(QObject *parent = nullptr);

    // Watches `folder` from now on (nothing when empty) and records the pictures already there.
    // A folder that is not there is waited for, and taken on once it appears.
    void setFolder(const QString &folder);
    QString folder() const { return m_folder; }
    // False while a chosen folder does not exist.
    bool folderPresent() const { return m_present; }
    // The pictures recorded so far, sorted by name.
    QStringList knownPictures() const;

    // The latest live position of any instrument, in degrees and metres, taken as of now.
    void setFix(double latitude, double longitude, double altitude);
    void clearFix() { m_fix.reset(); }
    // Tests move time on.
    void setClock(std::function<Clock::time_point()> now) { m_now = std::move(now); }

    // Lists the folder once: records every picture not seen before and, with `tag`, tags it.
    void scan(bool tag);
    // Writes the sidecar of one picture (full path) and reports the outcome.
    void tag(const QString &picture);

    // A JPEG picture by name: the complete suffix is "jpg" in any case ("a.b.jpg" is not).
    static bool isPicture(const QString &fileName);
    // The picture's folder, "/", its name up to the first dot, ".gps".
    static QString sidecarPath(const QString &picture);
    // The one line of a sidecar: latitude, longitude, altitude in whole metres, a line feed.
    static QByteArray sidecarText(double latitude, double longitude, double altitude);
    // Replaces `path` with `text` as a whole or leaves it untouched; false with the reason. Only a
    // regular file of this user is replaced, never followed: a link, FIFO or device is refused.
    static bool writeSidecar(const QString &path, const QByteArray &text, QString *error);

signals:
    void folderPresentChanged(bool present);
    void tagged(const QString &picture, const QString &sidecar);
    void failed(const QString &picture, const QString &message);

private:
    struct Fix {
        double latitude, longitude, altitude;
        Clock::time_point at;
    };
    std::optional<Fix> currentFix() const;
    // Watches the folder when it is there, otherwise the nearest folder above it, for its coming.
    void watch();
    void setPresent(bool present);

    QFileSystemWatcher m_watcher;
    // A card mounted over an existing mount point changes no folder a watcher sees: while the
    // folder is missing, it is also looked for now and then.
    QTimer m_lookForFolder;
    bool m_present = true;
    QString m_folder;
    QSet<QString> m_known;  // file names seen in m_folder since it was chosen or last appeared
    std::optional<Fix> m_fix;
    std::function<Clock::time_point()> m_now = [] { return Clock::now(); };
};
