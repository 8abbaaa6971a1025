#include "surveysession.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "appsettings.h"
#include "survey/surveyjournal.h"
#include "survey/surveyjournalreader.h"
#include "survey/surveyloader.h"

namespace {

// Journals started in the same second are told apart by a number; beyond that something is wrong.
constexpr int kNameAttempts = 20;

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

}  // namespace

SurveySession::SurveySession(QObject *parent) : QObject(parent), m_loader(new SurveyLoader(this)) {
    connect(m_loader, &SurveyLoader::opened, this, [this](const SurveyInfo &info) {
        m_name = info.name;
        emit changed();
    });
    connect(m_loader, &SurveyLoader::readings, this, &SurveySession::takeReadBack);
    connect(m_loader, &SurveyLoader::finished, this, &SurveySession::readBackDone);
}

SurveySession::~SurveySession() = default;

QString SurveySession::folder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Survokart/surveys");
}

QString SurveySession::path() const {
    return m_path;
}

QString SurveySession::interrupted() const {
    const QString path = AppSettings().lastSurvey();
    if (path.isEmpty() || !QFileInfo(path).isFile()) return {};
    SurveyJournalReader reader;
    if (!reader.open(path) || reader.info().endedCleanly()) return {};
    return path;
}

QString SurveySession::defaultName(qint64 startMs) {
    return tr("Survey %1")
        .arg(QDateTime::fromMSecsSinceEpoch(startMs).toString(QStringLiteral("yyyy-MM-dd HH:mm")));
}

bool SurveySession::startNew(QString *error, const QString &name) {
    const qint64 start = nowMs();
    m_name = name.isEmpty() ? defaultName(start) : name;
    m_points = 0;
    m_started = createJournal(start, error);
    emit changed();
    return m_started;
}

bool SurveySession::createJournal(qint64 startMs, QString *error) {
    if (!QDir().mkpath(folder())) {
        *error = tr("The folder %1 could not be created.").arg(QDir::toNativeSeparators(folder()));
        return false;
    }
    const QString base =
        folder() + QLatin1Char('/') +
        QDateTime::fromMSecsSinceEpoch(startMs).toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
        const QString path = base + (attempt > 1 ? QStringLiteral("_%1").arg(attempt) : QString()) +
                             QStringLiteral(".gpkg");
        // Never over an earlier journal, nor through a link.
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) continue;
        auto journal = std::make_unique<SurveyJournal>();
        if (!journal->create(path, m_name, startMs)) {
            *error = journal->errorString();
            continue;
        }
        m_path = path;
        attach(std::move(journal));
        AppSettings settings;
        settings.setLastSurvey(path);
        // Without it, a crash would not offer this survey back.
        if (QString syncError; !settings.sync(&syncError)) emit problem(syncError);
        return true;
    }
    if (error->isEmpty()) error->append(tr("No new file name was free in %1.").arg(folder()));
    return false;
}

void SurveySession::attach(std::unique_ptr<SurveyJournal> journal) {
    SurveyJournal *raw = journal.get();
    connect(
        raw, &SurveyJournal::failed, this,
        [this, raw](const QString &message) {
            if (m_journal.get() == raw) onFailed(message);
        },
        Qt::QueuedConnection);
    m_journal = std::move(journal);
    for (const SurveyAlarm &a : std::exchange(m_waitingAlarms, {}))
        m_journal->append(a);
    for (const SurveySpectrum &p : std::exchange(m_waitingSpectra, {}))
        m_journal->append(p);
}

void SurveySession::add(const SurveyAlarm &alarm) {
    if (m_reading || !m_journal)
        m_waitingAlarms.push_back(alarm);
    else
        m_journal->append(alarm);
}

void SurveySession::add(const SurveySpectrum &spectrum) {
    if (m_reading || !m_journal)
        m_waitingSpectra.push_back(spectrum);
    else
        m_journal->append(spectrum);
}

void SurveySession::onFailed(const QString &message) {
    // What the failed journal could not take goes into the next one.
    // Its alarms and spectra wait, ahead of later ones, as those of a survey read back do.
    const SurveyBacklog unwritten = m_journal ? m_journal->takeUnwritten() : SurveyBacklog();
    m_waitingAlarms.insert(m_waitingAlarms.begin(), unwritten.alarms.begin(),
                           unwritten.alarms.end());
    m_waitingSpectra.insert(m_waitingSpectra.begin(), unwritten.spectra.begin(),
                            unwritten.spectra.end());
    m_journal.reset();
    QString error;
    if (createJournal(nowMs(), &error)) {
        m_journal->append(unwritten.readings);
        emit problem(tr("%1\nThe survey goes on in a new file: %2")
                         .arg(message, QDir::toNativeSeparators(m_path)));
    } else {
        emit problem(tr("%1\nNo new journal could be started either: %2").arg(message, error));
    }
}

void SurveySession::reopen(const QString &path) {
    m_journal.reset();
    m_path = path;
    m_points = 0;
    m_started = true;
    m_reading = true;
    m_name = QFileInfo(path).completeBaseName();
    emit changed();
    m_loader->start(path);
}

void SurveySession::takeReadBack(const std::vector<SurveyReading> &readings) {
    remember(readings);
    m_points += int(readings.size());
    emit readBack(readings);
    emit changed();
}

void SurveySession::readBackDone(const QString &error) {
    if (!m_reading) return;
    m_reading = false;
    if (!error.isEmpty())
        emit problem(tr("The interrupted survey could not be read back whole: %1").arg(error));
    auto journal = std::make_unique<SurveyJournal>();
    if (journal->reopen(m_path)) {
        attach(std::move(journal));
    } else {
        onFailed(journal->errorString());
    }
    if (m_journal) m_journal->append(m_waiting);
    m_waiting.clear();
}

void SurveySession::add(const SurveyReading &reading) {
    if (m_reading)
        m_waiting.push_back(reading);
    else if (m_journal)
        m_journal->append(reading);
    ++m_points;
    emit changed();
}

bool SurveySession::remember(const std::vector<SurveyReading> &readings) {
    bool isNew = false;
    for (size_t i = 0; i < readings.size(); ++i) {
        const SurveyReading &r = readings[i];
        if (!r.downloaded() || (i > 0 && r.recordId == readings[i - 1].recordId)) continue;
        const bool inserted = !m_records.contains({r.serial, r.recordId});
        if (inserted) m_records.insert({r.serial, r.recordId});
        if (i == 0) isNew = inserted;
    }
    return isNew;
}

bool SurveySession::addRecord(const std::vector<SurveyReading> &readings) {
    if (readings.empty() || !remember(readings)) return false;
    if (m_reading)
        m_waiting.insert(m_waiting.end(), readings.begin(), readings.end());
    else if (m_journal)
        m_journal->append(readings);
    m_points += int(readings.size());
    emit changed();
    return true;
}

bool SurveySession::end(QString *error) {
    // Ending while the track is read back: what was added meanwhile still goes in after all that
    // was there, which the file keeps whether read back or not.
    m_loader->stop();
    readBackDone(QString());
    m_started = false;
    if (!m_journal) {
        *error = tr("The survey %1 has no journal to end.").arg(m_name);
        return false;
    }
    const bool ended = m_journal->end(nowMs());
    if (!ended) *error = m_journal->errorString();
    m_journal.reset();
    return ended;
}
