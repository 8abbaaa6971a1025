#include "paramsdialog.h"

#include "simpleparamsserializer.h"
#include "ui_paramsdialog.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>

namespace {

constexpr int kDefaultRows = 20;
const QString kLastDirKey = QStringLiteral("LastSaveLoadDir");

}  // namespace

ParamsDialog::ParamsDialog(const QString &title, const QString &fileName, int flags,
                           QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ParamsDialog>()) {
    m_ui->setupUi(this);
    m_ui->group_box->setTitle(title);
    m_fileName = fileName.isEmpty() ? title : fileName;
    addNewExport(&SimpleParamsSerializer::createSerializer, tr("Corvanta parameters"),
                 QStringLiteral("txt"), ExportBoth);
    if (flags & SaveButton) {
        QPushButton *save = m_ui->button_box->addButton(tr("Save"), QDialogButtonBox::ActionRole);
        connect(save, &QPushButton::clicked, this, &ParamsDialog::saveValues);
    }
    if (flags & LoadButton) {
        QPushButton *load = m_ui->button_box->addButton(tr("Load"), QDialogButtonBox::ActionRole);
        connect(load, &QPushButton::clicked, this, &ParamsDialog::loadValues);
    }
    if (flags & NoCancelButton)
        m_ui->button_box->removeButton(m_ui->button_box->button(QDialogButtonBox::Cancel));
    connect(m_ui->tree, &ParamsTree::valueChanged, this, &ParamsDialog::valueChanged);
}

ParamsDialog::~ParamsDialog() = default;

void ParamsDialog::setCaption(const QString &text) {
    setWindowTitle(text);
}

ParamsTree *ParamsDialog::tree() const {
    return m_ui->tree;
}

void ParamsDialog::addNewExport(const Factory &factory, const QString &name,
                                const QString &extension, int type) {
    m_exporters.insert(extension, {factory, name, type});
}

ParamsDialog &ParamsDialog::addSection(const QString &label, const QString &name, bool expanded) {
    tree()->addSection(label, name, expanded);
    return *this;
}

ParamsDialog &ParamsDialog::up() {
    tree()->up();
    return *this;
}

ParamsDialog &ParamsDialog::asSection(bool expanded) {
    tree()->asSection(expanded);
    return *this;
}

ParamsDialog &ParamsDialog::readOnly() {
    tree()->readOnly();
    return *this;
}

template <typename T>
T ParamsDialog::typedValue(const QString &section, const QString &name, T defaultValue) const {
    return tree()->value(section, name, QVariant::fromValue(defaultValue)).template value<T>();
}

long long ParamsDialog::value(const QString &section, const QString &name,
                              long long defaultValue) const {
    return typedValue(section, name, defaultValue);
}
int ParamsDialog::value(const QString &section, const QString &name, int defaultValue) const {
    return typedValue(section, name, defaultValue);
}
unsigned int ParamsDialog::value(const QString &section, const QString &name,
                                 unsigned int defaultValue) const {
    return typedValue(section, name, defaultValue);
}
unsigned short ParamsDialog::value(const QString &section, const QString &name,
                                   unsigned short defaultValue) const {
    return typedValue(section, name, defaultValue);
}
unsigned char ParamsDialog::value(const QString &section, const QString &name,
                                  unsigned char defaultValue) const {
    return typedValue(section, name, defaultValue);
}
float ParamsDialog::value(const QString &section, const QString &name, float defaultValue) const {
    return typedValue(section, name, defaultValue);
}
QString ParamsDialog::value(const QString &section, const QString &name,
                            const QString &defaultValue) const {
    return typedValue(section, name, defaultValue);
}
bool ParamsDialog::value(const QString &section, const QString &name, bool defaultValue) const {
    return typedValue(section, name, defaultValue);
}

void ParamsDialog::changeValue(const QString &what, const QVariant &value) {
    tree()->changeValue(what, value);
}

QString ParamsDialog::fileFilter(int type) const {
    QString filter;
    for (auto it = m_exporters.cbegin(); it != m_exporters.cend(); ++it) {
        if (it->type & type) filter += it->name + QStringLiteral(" (*.") + it.key() + ");;";
    }
    return filter;
}

QString ParamsDialog::startPath() const {
    return QSettings().value(kLastDirKey, QDir::currentPath()).toString() + QLatin1Char('/') +
           m_fileName;
}

void ParamsDialog::rememberDirectory(const QString &fileName) const {
    QSettings().setValue(kLastDirKey, fileName.left(fileName.lastIndexOf(QLatin1Char('/'))));
}

std::shared_ptr<ParamsSerializer> ParamsDialog::serializerFor(const QString &fileName,
                                                              bool forLoading) const {
    const QString extension = fileName.mid(fileName.lastIndexOf(QLatin1Char('.')) + 1);
    const auto it = m_exporters.constFind(extension);
    if (it != m_exporters.cend() && it->factory)
        return it->factory(forLoading ? fileName : QString());
    if (forLoading) return std::make_shared<SimpleParamsSerializer>(fileName);
    return std::make_shared<SimpleParamsSerializer>();
}

void ParamsDialog::saveValues() {
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Choose a file to store the parameters"), startPath(), fileFilter(ExportSave));
    if (fileName.isEmpty()) return;
    rememberDirectory(fileName);
    const auto serializer = serializerFor(fileName, false);
    tree()->saveValues(*serializer);
    if (!serializer->saveAll(fileName))
        QMessageBox::warning(this, windowTitle(),
                             tr("The parameters were not saved. %1").arg(serializer->error()));
}

void ParamsDialog::loadValues() {
    const QString fileName = QFileDialog::getOpenFileName(
        this, tr("Choose a file to load the parameters"), startPath(), fileFilter(ExportLoad));
    if (fileName.isEmpty()) return;
    rememberDirectory(fileName);
    const auto serializer = serializerFor(fileName, true);
    if (!serializer->error().isEmpty()) {
        QMessageBox::warning(this, windowTitle(),
                             tr("The parameters were not loaded. %1").arg(serializer->error()));
        return;
    }
    tree()->loadValues(*serializer);
}

QString ParamsDialog::settingsGroup() const {
    return m_ui->group_box->title();
}

QSize ParamsDialog::defaultSize() const {
    ParamsTree *view = tree();
    const int frame = 2 * view->frameWidth();
    const int columns = view->header()->sectionSize(0) + view->header()->sectionSize(1);
    const int rows = view->header()->sizeHint().height() + kDefaultRows * view->rowHeight();
    // What the dialog needs around the tree: group box, margins, buttons.
    const QSize around = sizeHint() - view->sizeHint();
    const int scrollBar = view->verticalScrollBar()->sizeHint().width();
    return QSize(std::max(sizeHint().width(), columns + frame + scrollBar + around.width()),
                 rows + frame + around.height());
}

void ParamsDialog::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    restoreState();
}

void ParamsDialog::restoreState() {
    QSettings settings;
    settings.beginGroup(settingsGroup());
    tree()->resizeColumnToContents(0);
    tree()->resizeColumnToContents(1);
    resize(settings.value("size", defaultSize()).toSize());
    move(settings.value("pos", pos()).toPoint());
    QList<ParamsTree::nodes> sections;
    const int count = settings.beginReadArray("nodes");
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        sections.append(
            {settings.value("node name").toString(), settings.value("node expand").toInt()});
    }
    settings.endArray();
    tree()->writeNodes(sections);
    const int position = settings.value("scrollbar position", 0).toInt();
    restoreScroll(position);
    // The scroll range follows the new size only once the layout has run.
    QTimer::singleShot(0, this, [this, position] { restoreScroll(position); });
}

void ParamsDialog::restoreScroll(int position) {
    tree()->verticalScrollBar()->setValue(position);
}

void ParamsDialog::hideEvent(QHideEvent *event) {
    QSettings settings;
    settings.beginGroup(settingsGroup());
    settings.setValue("pos", pos());
    settings.setValue("size", size());
    settings.setValue("scrollbar position", tree()->verticalScrollBar()->value());
    QList<ParamsTree::nodes> sections;
    tree()->readNodes(sections);
    settings.beginWriteArray("nodes", int(sections.size()));
    for (int i = 0; i < sections.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue("node name", sections[i].name);
        settings.setValue("node expand", sections[i].expand);
    }
    settings.endArray();
    QDialog::hideEvent(event);
}

void ParamsDialog::closeEvent(QCloseEvent *event) {
    QSettings settings;
    settings.beginGroup(settingsGroup());
    settings.setValue("pos", pos());
    settings.setValue("size", size());
    QDialog::closeEvent(event);
}
