#include "settingsparamsserializer.h"
#include "simpleparamsserializer.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

QStringList g_warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtWarningMsg) g_warnings << message;
}

// Parses `contents` from a real file, collecting the warnings it logs.
std::shared_ptr<ParamsSerializer> readBack(const QByteArray &contents) {
    QTemporaryDir dir;
    const QString path = dir.filePath("params.txt");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
    file.close();
    g_warnings.clear();
    const auto old = qInstallMessageHandler(collectWarnings);
    auto serializer = SimpleParamsSerializer::createSerializer(path);
    qInstallMessageHandler(old);
    EXPECT_EQ(serializer->error(), QString());
    return serializer;
}

}  // namespace

TEST(SimpleParamsSerializer, ReadsTheTextLayoutAndSkipsWhatItCannotRead) {
    const auto s = readBack(
        "# comment=not a value\n\n"
        "Params.dose_filter_len=12\r\n"
        "  spaced = keeps spaces \n"
        "no equals sign here\n"
        "=no key\n"
        "Params.dose_filter_len=13\n"
        "\xef\xbb\xbfnot.a.bom=1\n");
    EXPECT_EQ(s->load({"Params"}, "dose_filter_len", "x"), "13");  // the last one counts
    EXPECT_EQ(s->load("spaced", "x"), " keeps spaces ");
    EXPECT_EQ(s->load("# comment", "absent"), "absent");
    EXPECT_EQ(g_warnings.filter("not key=value").size(), 2);
}

TEST(SimpleParamsSerializer, RefusesWhatWouldNotReadBackAndNeverLeavesHalfAFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("p.txt");
    SimpleParamsSerializer good;
    good.store({"", "A", "", "B"}, "name", "a=b #c");
    ASSERT_TRUE(good.saveAll(path));
    SimpleParamsSerializer bad;
    bad.store("line", "one\ntwo");
    EXPECT_FALSE(bad.saveAll(path));
    EXPECT_FALSE(bad.error().isEmpty());
    SimpleParamsSerializer reread(path);  // the earlier file is still whole
    EXPECT_EQ(reread.load({"A", "B"}, "name", {}), "a=b #c");
    EXPECT_FALSE(good.saveAll(dir.filePath("missing/dir/p.txt")));
}

TEST(SimpleParamsSerializer, SurvivesHostileFiles) {
    EXPECT_EQ(readBack({})->load("a", "kept"), "kept");

    QByteArray huge(10 * 1024 * 1024, 'x');
    huge += "\nafter=1\n";
    EXPECT_EQ(readBack(huge)->load("after", {}), "1");
    EXPECT_LE(g_warnings.size(), 12);  // a summary, not a flood

    const auto utf = readBack("bad=\xff\xfe\xc3\nname=\xc3\xa9t\xc3\xa9\n");
    EXPECT_EQ(utf->load("name", {}), QString::fromUtf8("été"));
    EXPECT_FALSE(utf->load("bad", {}).isEmpty());

    QStringList deep(1000, "s");
    const auto nested = readBack((deep.join('.') + ".x=5\nplain=6\n").toUtf8());
    EXPECT_EQ(nested->load(deep, "x", {}), "5");
    EXPECT_EQ(nested->load("plain", {}), "6");
}

TEST(SettingsParamsSerializer, KeepsSectionsAsNestedGroupsOfItsOwnGroup) {
    {
        SettingsParamsSerializer out("Stored");
        out.store({"", "unit", "inner"}, "rate", "0.5");
        out.store("top", "1");
        EXPECT_TRUE(out.saveAll({}));
    }
    EXPECT_EQ(QSettings().value("Stored/unit/inner/rate").toString(), "0.5");
    SettingsParamsSerializer in("Stored");
    EXPECT_EQ(in.load({"unit", "inner"}, "rate", {}), "0.5");
    EXPECT_EQ(in.load("top", {}), "1");  // the groups were left again
    EXPECT_EQ(in.load({"unit"}, "missing", "d"), "d");
}
