// Photographs arriving in the watched folder get a sidecar with the latest live position.
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "app/geotagger.h"
#include "field.h"

namespace {

using test::spin;

void touch(const QString &path, const QByteArray &bytes = "jpeg") {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray contents(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

TEST(Geotagger, TagsNewJpegPicturesWithTheLatestLiveFix) {
    QTemporaryDir dir;
    const QString d = dir.path() + "/";
    touch(d + "present.JPG");
    Geotagger tagger;
    QSignalSpy tagged(&tagger, &Geotagger::tagged);
    QSignalSpy failed(&tagger, &Geotagger::failed);
    tagger.setFolder(dir.path());
    EXPECT_EQ(tagger.knownPictures(), QStringList{"present.JPG"});

    // No fix yet: the user hears of it, nothing is written, the picture is not tried again.
    touch(d + "early.jpg");
    ASSERT_TRUE(spin([&] { return failed.count() == 1; }));
    EXPECT_EQ(failed[0][1].toString(), "GPS information not available!");
    EXPECT_FALSE(QFile::exists(d + "early.gps"));

    auto now = Geotagger::Clock::now();
    tagger.setClock([&] { return now; });
    tagger.setFix(49.5, 16.25, 310.6);
    touch(d + "a.gps", QByteArray(200, 'x'));  // an older, longer sidecar
    touch(d + "present.JPG", "modified");
    for (const char *name : {"a.JPG", "b.jpg", "c.Jpg", "d.jpeg", "e.png", "f.tar.jpg"})
        touch(d + name);
    ASSERT_TRUE(spin([&] { return tagged.count() == 3; }));
    const QByteArray line = "49° 30' 0.0\" N 16° 15' 0.0\" E 311m\n";
    for (const char *sidecar : {"a.gps", "b.gps", "c.gps"})
        EXPECT_EQ(contents(d + sidecar), line) << sidecar;
    for (const char *untagged : {"present.gps", "d.gps", "e.gps", "f.gps"})
        EXPECT_FALSE(QFile::exists(d + untagged)) << untagged;
    EXPECT_EQ(failed.count(), 1);

    // A fix a minute old no longer counts.
    now += Geotagger::kFixLifetime + std::chrono::seconds(1);
    tagger.tag(d + "late.jpg");
    EXPECT_EQ(failed.last()[1].toString(), "GPS information not available!");
    EXPECT_FALSE(QFile::exists(d + "late.gps"));

    // A sidecar that cannot be written is an error the user sees.
    tagger.setFix(49.5, 16.25, 310.6);
    ASSERT_TRUE(QDir(dir.path()).mkdir("blocked.gps"));
    tagger.tag(d + "blocked.jpg");
    EXPECT_TRUE(failed.last()[1].toString().contains("blocked.gps"));
}

TEST(Geotagger, FollowsAChangedFolderAtOnce) {
    QTemporaryDir first, second;
    touch(second.path() + "/old.JPG");
    Geotagger tagger;
    QSignalSpy tagged(&tagger, &Geotagger::tagged);
    tagger.setFix(1, 2, 3);
    tagger.setFolder(first.path());
    tagger.setFolder(second.path());
    EXPECT_EQ(tagger.knownPictures(), QStringList{"old.JPG"});
    touch(first.path() + "/left.jpg");
    touch(second.path() + "/new.jpg");
    ASSERT_TRUE(spin([&] { return tagged.count() == 1; }));
    EXPECT_EQ(tagged[0][1].toString(), second.path() + "/new.gps");
    EXPECT_FALSE(QFile::exists(first.path() + "/left.gps"));
    EXPECT_FALSE(QFile::exists(second.path() + "/old.gps"));
}

// Anyone who can write to the picture folder may prepare the sidecar's name.
TEST(Geotagger, NeverWritesThroughWhatIsPreparedUnderTheSidecarsName) {
    QTemporaryDir dir, outside;
    const QString d = dir.path() + "/";
    const QString keys = outside.filePath("authorized_keys");
    touch(keys, "ssh-ed25519 AAAA me\n");
    ASSERT_TRUE(QFile::link(keys, d + "IMG_0001.gps"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(d + "IMG_0002.gps").constData(), 0600), 0);
    Geotagger tagger;
    QSignalSpy tagged(&tagger, &Geotagger::tagged);
    QSignalSpy failed(&tagger, &Geotagger::failed);
    tagger.setFix(49.5, 16.25, 310.6);
    tagger.setFolder(dir.path());

    touch(d + "IMG_0001.jpg");
    touch(d + "IMG_0002.jpg");
    ASSERT_TRUE(spin([&] { return failed.count() + tagged.count() == 2; }));
    EXPECT_EQ(contents(keys), "ssh-ed25519 AAAA me\n");
    EXPECT_EQ(QFileInfo(d + "IMG_0001.gps").symLinkTarget(), keys);
    struct stat fifo;
    EXPECT_TRUE(::lstat(QFile::encodeName(d + "IMG_0002.gps").constData(), &fifo) == 0 &&
                S_ISFIFO(fifo.st_mode));
    QStringList messages;
    for (const QList<QVariant> &f : failed)
        messages << f[1].toString();
    messages.sort();
    EXPECT_EQ(messages,
              (QStringList{
                  "GPS information was not saved: " + d + "IMG_0001.gps is not a regular file",
                  "GPS information was not saved: " + d + "IMG_0002.gps is not a regular file"}));
    // Nothing left behind beside them.
    EXPECT_EQ(QDir(dir.path())
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                             QDir::Name),
              (QStringList{"IMG_0001.gps", "IMG_0001.jpg", "IMG_0002.gps", "IMG_0002.jpg"}));
}

}  // namespace
