// The window's File menu: surveys started, ended, opened from a journal and exported. Journals are
// read and exports written off the GUI thread; their results come back queued.
#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QInputDialog>
#include <QRegularExpression>
#include <QStatusBar>
#include <QtConcurrent/QtConcurrentRun>

#include "mainwindow.h"
#include "map/widgets/mapview.h"
#include "survey/surveyexport.h"
#include "survey/surveyloader.h"
#include "surveysession.h"
#include "ui_mainwindow.h"

namespace {

constexpr int kStatusMessageMs = 10000;

struct ExportFormat {
    SurveyFormat format;
    const char *filter;
    const char *suffix;
};
const ExportFormat kExportFormats[] = {
    {SurveyFormat::Csv, QT_TRANSLATE_NOOP("MainWindow", "CSV table (*.csv)"), "csv"},
    {SurveyFormat::GeoJson, QT_TRANSLATE_NOOP("MainWindow", "GeoJSON (*.geojson)"), "geojson"},
    {SurveyFormat::Kml, QT_TRANSLATE_NOOP("MainWindow", "KML, for Google Earth (*.kml)"), "kml"},
    {SurveyFormat::Gpx, QT_TRANSLATE_NOOP("MainWindow", "GPX, for GPS tools (*.gpx)"), "gpx"},
};

}  // namespace

void MainWindow::setupSurveyMenu() {
    connect(form->actionNewSurvey, &QAction::triggered, this, &MainWindow::newSurvey);
    connect(form->actionEndSurvey, &QAction::triggered, this, [this] { restartSurvey(QString()); });
    connect(form->actionOpenSurvey, &QAction::triggered, this, &MainWindow::showPastSurvey);
    connect(form->actionExportSurvey, &QAction::triggered, this, &MainWindow::exportShownSurvey);
    connect(m_shownLoader, &SurveyLoader::opened, this, [this](const SurveyInfo &info) {
        m_shownName = info.name;
        updateStatus();
    });
    connect(m_shownLoader, &SurveyLoader::readings, this,
            [this](const std::vector<SurveyReading> &readings) {
                drawHistory(readings);
                m_shownPoints += int(readings.size());
                updateStatus();
            });
    connect(m_shownLoader, &SurveyLoader::finished, this, [this](const QString &error) {
        if (!error.isEmpty())
            showError(tr("The survey could not be read to its end; what was read is on the "
                         "map: %1")
                          .arg(error));
        emit surveyShown(m_shownPath, error);
    });
}

void MainWindow::newSurvey() {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("newSurveyDialog"));
    dialog.setWindowTitle(tr("New survey"));
    dialog.setLabelText(tr("The current survey ends. Name of the new one:"));
    dialog.setTextValue(SurveySession::defaultName(QDateTime::currentMSecsSinceEpoch()));
    if (dialog.exec() != QDialog::Accepted) return;
    restartSurvey(dialog.textValue().simplified());
}

void MainWindow::restartSurvey(const QString &name) {
    const QString ended = m_survey->name();
    if (QString error; m_survey->isOpen() && !m_survey->end(&error))
        showError(tr("The survey journal could not be closed properly: %1").arg(error));
    m_surveyChosen = true;
    if (QString error; !m_survey->startNew(&error, name))
        showError(
            tr("No survey journal could be started, so readings are not kept: %1").arg(error));
    else
        statusBar()->showMessage(tr("%1 ended; %2 started.").arg(ended, m_survey->name()),
                                 kStatusMessageMs);
}

void MainWindow::showPastSurvey() {
    QFileDialog dialog(this, tr("Open survey"), SurveySession::folder(),
                       tr("Survey journals (*.gpkg)"));
    dialog.setObjectName(QStringLiteral("openSurveyDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    // The survey's own track makes way; live readings go on being drawn beside it.
    clearGpsData();
    m_shownPath = dialog.selectedFiles().constFirst();
    m_shownName = QFileInfo(m_shownPath).completeBaseName();
    m_shownPoints = 0;
    m_shownLoader->start(m_shownPath);
    updateStatus();
}

void MainWindow::exportShownSurvey() {
    const QString journal = m_shownPath.isEmpty() ? m_survey->path() : m_shownPath;
    const QString name = m_shownPath.isEmpty() ? m_survey->name() : m_shownName;
    if (journal.isEmpty()) return showError(tr("There is no survey to export."));
    QStringList filters;
    for (const ExportFormat &f : kExportFormats)
        filters << tr(f.filter);
    QFileDialog dialog(this, tr("Export survey"), QDir::homePath());
    dialog.setObjectName(QStringLiteral("exportSurveyDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(QString::fromLatin1(kExportFormats[0].suffix));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString &filter) {
        const qsizetype i = filters.indexOf(filter);
        if (i >= 0) dialog.setDefaultSuffix(QString::fromLatin1(kExportFormats[i].suffix));
    });
    // A name fit for any file system.
    QString fileName = name;
    fileName.replace(QRegularExpression(QStringLiteral("[^\\w.-]+")), QStringLiteral("_"));
    dialog.selectFile(fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString path = dialog.selectedFiles().constFirst();
    SurveyExportOptions options;
    options.format =
        kExportFormats[qMax(0, int(filters.indexOf(dialog.selectedNameFilter())))].format;
    options.thresholds = m_thresholds;
    options.colours = m_colors;
    options.colourByCountRate = m_mapPoints != 0;
    form->actionExportSurvey->setEnabled(false);
    statusBar()->showMessage(tr("Exporting %1…").arg(name));
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher, path] {
        const QString error = watcher->result();
        watcher->deleteLater();
        form->actionExportSurvey->setEnabled(true);
        statusBar()->clearMessage();
        if (error.isEmpty())
            statusBar()->showMessage(
                tr("The survey was exported to %1.").arg(QDir::toNativeSeparators(path)),
                kStatusMessageMs);
        else
            showError(tr("The survey could not be exported: %1").arg(error));
        emit surveyExported(path, error);
    });
    watcher->setFuture(QtConcurrent::run([journal, options, path] {
        QString error;
        exportJournal(journal, options, path, &error);
        return error;
    }));
}
