// The window's survey when its journal is taken from under it.
#include <sqlite3.h>

#include <QFile>
#include <QSignalSpy>

#include "app/surveysession.h"
#include "field.h"
#include "survey/surveyjournalreader.h"

namespace {

using test::spin;

SurveyReading at(qint64 timeMs) {
    SurveyReading r;
    r.timeMs = timeMs;
    r.serial = QStringLiteral("C0000101");
    return r;
}

std::vector<qint64> timesIn(const QString &path) {
    std::vector<qint64> times;
    SurveyJournalReader reader;
    if (reader.open(path))
        for (const SurveyReading &r : reader.readings())
            times.push_back(r.timeMs);
    return times;
}

// Another program locks the journal mid-survey: the user is told which file and why, the survey
// goes on in a new file with every reading the old one could not take, and the old one keeps
// what it had.
TEST(SurveySessionTest, AJournalTakenOverGoesOnInANewFileAndLosesNothing) {
    SurveySession session;
    QSignalSpy problems(&session, &SurveySession::problem);
    QString error;
    ASSERT_TRUE(session.startNew(&error, "Locked out")) << error.toStdString();
    const QString first = session.path();
    session.add(at(1));
    ASSERT_TRUE(spin([&] { return timesIn(first).size() == 1; }));

    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(first).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    session.add(at(2));
    session.add(at(3));
    ASSERT_TRUE(spin([&] { return problems.count() == 1; }));
    session.add(at(4));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    const QString message = problems[0][0].toString();
    EXPECT_TRUE(message.contains(first) && message.contains("another program") &&
                message.contains(session.path()))
        << message.toStdString();
    EXPECT_NE(session.path(), first);
    EXPECT_EQ(session.name(), "Locked out");
    ASSERT_TRUE(session.end(&error)) << error.toStdString();
    EXPECT_EQ(timesIn(first), std::vector<qint64>{1});
    EXPECT_EQ(timesIn(session.path()), (std::vector<qint64>{2, 3, 4}));
}

}  // namespace
