#include "surveysession.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "appsettings.h"
#include "survey/surveyjournal.h"
#include "survey/surveyjournalreader.h"

namespace {

// Readings read back travel to the window in batches of this many, so that it keeps answering.
constexpr size_t kReadBackBatch = 500;
// Journals started in the same second are told apart by a number; beyond that something is wrong.
constexpr int kNameAttempts = 20;

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

}  // namespace

SurveySession::SurveySession(QObject *parent) : QObject(parent) {}

SurveySession::~SurveySession() {
    stopReading();
}

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

bool SurveySession::startNew(QString *error) {
    const qint64 start = nowMs();
    m_name = tr("Survey %1")
                 .arg(QDateTime::fromMSecsSinceEpoch(start).toString(
                     QStringLiteral("yyyy-MM-dd HH:mm")));
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
}

void SurveySession::onFailed(const QString &message) {
    m_journal.reset();
    QString error;
    if (createJournal(nowMs(), &error))
        emit problem(tr("%1\nThe survey goes on in a new file: %2")
                         .arg(message, QDir::toNativeSeparators(m_path)));
    else
        emit problem(tr("%1\nNo new journal could be started either: %2").arg(message, error));
}

void SurveySession::reopen(const QString &path) {
    stopReading();
    m_journal.reset();
    m_path = path;
    m_points = 0;
    m_started = true;
    m_reading = true;
    m_stop = false;
    {
        const std::lock_guard lock(m_readMutex);
        m_readBatches.clear();
        m_readDone = false;
    }
    {
        SurveyJournalReader reader;
        m_name = reader.open(path) ? reader.info().name : QFileInfo(path).completeBaseName();
    }
    emit changed();
    m_reader = std::thread([this, path] {
        SurveyJournalReader reader;
        std::vector<SurveyReading> batch;
        // The readings go through the guarded list and the call by name: Qt's queue hands over
        // out of the sanitizer's sight, and a call object built here would be read there.
        auto post = [this](std::vector<SurveyReading> readings, const QString *error) {
            {
                const std::lock_guard lock(m_readMutex);
                if (!readings.empty()) m_readBatches.push_back(std::move(readings));
                if (error) {
                    m_readDone = true;
                    m_readError = *error;
                }
            }
            QMetaObject::invokeMethod(this, "takeReadBack", Qt::QueuedConnection);
        };
        bool ok = reader.open(path);
        if (ok)
            ok = reader.forEach([&](const SurveyReading &reading) {
                if (m_stop) return;
                batch.push_back(reading);
                if (batch.size() >= kReadBackBatch) post(std::exchange(batch, {}), nullptr);
            });
        if (m_stop) return;
        const QString error = ok ? QString() : reader.errorString();
        post(std::move(batch), &error);
    });
}

void SurveySession::takeReadBack() {
    std::vector<std::vector<SurveyReading>> batches;
    bool done = false;
    QString error;
    {
        const std::lock_guard lock(m_readMutex);
        batches.swap(m_readBatches);
        done = std::exchange(m_readDone, false);
        error = m_readError;
    }
    if (!m_reading) return;
    for (const std::vector<SurveyReading> &readings : batches) {
        remember(readings);
        m_points += int(readings.size());
        emit readBack(readings);
    }
    if (!batches.empty()) emit changed();
    if (done) readBackDone(error);
}

void SurveySession::readBackDone(const QString &error) {
    if (!m_reading) return;
    stopReading();
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

void SurveySession::stopReading() {
    m_stop = true;
    if (m_reader.joinable()) m_reader.join();
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
    // Closing while the track is read back: the reading ends first, so that what was added
    // meanwhile goes in after all that was there.
    if (m_reading && m_reader.joinable()) m_reader.join();
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
