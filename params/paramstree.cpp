#include "paramstree.h"

#include "paramsserializer.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QSpinBox>

#include <climits>
#include <cmath>
#include <optional>

namespace {

constexpr auto kFindExact = Qt::MatchExactly | Qt::MatchRecursive | Qt::MatchCaseSensitive;

QString nameOf(const QTreeWidgetItem *item) {
    return item->data(0, Qt::UserRole).toString();
}

// Parameter files are written by hand too: "0x" hexadecimal and a decimal comma are read.
std::optional<double> numberFromText(const QString &input) {
    QString text = input.trimmed();
    bool ok = false;
    const bool negative = text.startsWith(QLatin1Char('-'));
    const QString digits = negative ? text.mid(1) : text;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const qulonglong hex = digits.mid(2).toULongLong(&ok, 16);
        if (!ok) return std::nullopt;
        return negative ? -double(hex) : double(hex);
    }
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number)) return std::nullopt;
    return number;
}

std::optional<double> numberOf(const QVariant &value) {
    if (value.typeId() == QMetaType::QString) return numberFromText(value.toString());
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || !std::isfinite(number)) return std::nullopt;
    return number;
}

int toInt(double number) {
    return int(std::clamp(std::round(number), double(INT_MIN), double(INT_MAX)));
}

bool isTicked(const QVariant &value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    if (value.toString().trimmed().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    const auto number = numberOf(value);
    return number && *number != 0;
}

QVariant valueOf(const QWidget *editor) {
    if (auto spin = qobject_cast<const QSpinBox *>(editor)) return spin->value();
    if (auto spin = qobject_cast<const QDoubleSpinBox *>(editor)) return spin->value();
    if (auto box = qobject_cast<const QCheckBox *>(editor)) return box->isChecked();
    if (auto combo = qobject_cast<const QComboBox *>(editor)) return combo->currentIndex();
    if (auto edit = qobject_cast<const QLineEdit *>(editor)) return edit->text();
    return {};
}

// A value that does not fit the editor leaves the row as it was.
void setValueOf(QWidget *editor, const QVariant &value) {
    if (auto edit = qobject_cast<QLineEdit *>(editor)) {
        edit->setText(value.toString());
    } else if (auto box = qobject_cast<QCheckBox *>(editor)) {
        box->setChecked(isTicked(value));
    } else if (const auto number = numberOf(value)) {
        if (auto spin = qobject_cast<QSpinBox *>(editor)) {
            spin->setValue(toInt(*number));
        } else if (auto spin = qobject_cast<QDoubleSpinBox *>(editor)) {
            spin->setValue(*number);
        } else if (auto combo = qobject_cast<QComboBox *>(editor)) {
            if (*number >= 0 && *number < combo->count() && std::trunc(*number) == *number)
                combo->setCurrentIndex(int(*number));
        }
    }
}

}  // namespace

ParamsTree::ParamsTree(QWidget *parent) : QTreeWidget(parent) {
    setColumnCount(2);
    setHeaderLabels({tr("Params"), tr("Value")});
    setUniformRowHeights(true);
    m_current = invisibleRootItem();
    addHeightRow();
}

// Every row is as high as a line edit, however small its own editor.
void ParamsTree::addHeightRow() {
    auto *item = new QTreeWidgetItem;
    insertTopLevelItem(0, item);
    m_heightEditor = new QLineEdit;
    m_heightEditor->setAccessibleName(tr("Row height"));
    setItemWidget(item, 0, m_heightEditor);
    item->setHidden(true);
}

ParamsTree &ParamsTree::addSection(const QString &label, const QString &name, bool expanded) {
    auto *item = new QTreeWidgetItem({label});
    item->setData(0, Qt::UserRole, name);
    m_current->addChild(item);
    item->setExpanded(expanded);
    m_current = item;
    return *this;
}

ParamsTree &ParamsTree::up() {
    if (m_current != invisibleRootItem())
        m_current = m_current->parent() ? m_current->parent() : invisibleRootItem();
    return *this;
}

ParamsTree &ParamsTree::asSection(bool expanded) {
    if (QTreeWidgetItem *item = lastItem()) {
        m_current = item;
        item->setExpanded(expanded);
    }
    return *this;
}

ParamsTree &ParamsTree::readOnly() {
    if (QTreeWidgetItem *item = lastItem()) {
        if (QWidget *editor = editorOf(item)) editor->setEnabled(false);
    }
    return *this;
}

QTreeWidgetItem *ParamsTree::lastItem() const {
    const int count = m_current->childCount();
    const int first = m_current == invisibleRootItem() ? 1 : 0;  // past the height row
    return count > first ? m_current->child(count - 1) : nullptr;
}

QWidget *ParamsTree::editorOf(const QTreeWidgetItem *item) const {
    return itemWidget(const_cast<QTreeWidgetItem *>(item), 1);
}

QString ParamsTree::pathOf(const QString &name) const {
    QStringList parts{name};
    if (m_current == invisibleRootItem()) parts.prepend(QString());
    for (const QTreeWidgetItem *item = m_current; item && item != invisibleRootItem();
         item = item->parent())
        parts.prepend(nameOf(item));
    return parts.join(QLatin1Char('.'));
}

QTreeWidgetItem *ParamsTree::addRow(const QString &label, const QString &name, QWidget *editor) {
    auto *item = new QTreeWidgetItem({label});
    item->setData(0, Qt::UserRole, name);
    m_current->addChild(item);
    editor->setObjectName(pathOf(name));
    editor->setAccessibleName(label);
    setItemWidget(item, 1, editor);
    return item;
}

ParamsTree &ParamsTree::addParam(const QString &label, const QString &name, const QString &text,
                                 const QString &inputMask) {
    auto *edit = new QLineEdit;
    edit->setInputMask(inputMask);
    edit->setText(text);
    addRow(label, name, edit);
    return *this;
}

ParamsTree &ParamsTree::addParam(const QString &label, const QString &name, const QString &text,
                                 const char *inputMask) {
    return addParam(label, name, text, QString::fromUtf8(inputMask));
}

ParamsTree &ParamsTree::addParam(const QString &label, const QString &name, const QString &text,
                                 const QValidator *validator) {
    auto *edit = new QLineEdit;
    edit->setValidator(validator);
    edit->setText(text);
    addRow(label, name, edit);
    return *this;
}

ParamsTree &ParamsTree::addParam(const QString &label, const QString &name, int index,
                                 const QStringList &items) {
    auto *combo = new QComboBox;
    combo->addItems(items);
    combo->setCurrentIndex(index);
    addRow(label, name, combo);
    return *this;
}

ParamsTree &ParamsTree::addCheckBox(const QString &label, const QString &name, bool state,
                                    int group) {
    auto *box = new QCheckBox;
    box->setChecked(state);
    addRow(label, name, box);
    if (group != ExclusiveGroupNone) joinGroup(group, box);
    return *this;
}

// The group is not Qt-exclusive: that would forbid unticking every box, which a loaded "false"
// has to be able to do. Ticking one box clears the others instead.
void ParamsTree::joinGroup(int group, QCheckBox *box) {
    QButtonGroup *&buttons = m_groups[group];
    if (!buttons) {
        buttons = new QButtonGroup(this);
        buttons->setExclusive(false);
        connect(buttons, &QButtonGroup::buttonToggled, this,
                [buttons](QAbstractButton *ticked, bool checked) {
                    if (!checked) return;
                    for (QAbstractButton *other : buttons->buttons())
                        if (other != ticked) other->setChecked(false);
                });
    }
    if (box->isChecked()) {
        for (QAbstractButton *other : buttons->buttons())
            other->setChecked(false);
    }
    buttons->addButton(box);
}

ParamsTree &ParamsTree::addParam(const QString &label, const QString &name, const QVariant &value,
                                 const QVariant &minimum, const QVariant &maximum, int decimals) {
    const auto type = value.typeId();
    if (type == QMetaType::Double || type == QMetaType::Float) {
        auto *spin = new QDoubleSpinBox;
        spin->setDecimals(decimals);
        spin->setRange(minimum.toDouble(), maximum.toDouble());
        spin->setValue(value.toDouble());
        addRow(label, name, spin);
        connect(spin, &QDoubleSpinBox::valueChanged, this,
                [this, spin](double v) { emit valueChanged(spin->objectName(), v); });
    } else {
        auto *spin = new QSpinBox;
        spin->setRange(minimum.toInt(), maximum.toInt());
        spin->setValue(value.toInt());
        addRow(label, name, spin);
        connect(spin, &QSpinBox::valueChanged, this,
                [this, spin](int v) { emit valueChanged(spin->objectName(), v); });
    }
    return *this;
}

QVariant ParamsTree::getValue(const QString &section, const QString &name) const {
    for (const QTreeWidgetItem *item : findItems(name, kFindExact, 0)) {
        const QWidget *editor = editorOf(item);
        if (!editor) continue;
        bool inSection = section.isEmpty();
        for (const QTreeWidgetItem *up = item->parent(); up && !inSection; up = up->parent())
            inSection = up->text(0) == section;
        if (inSection) return valueOf(editor);
    }
    return {};
}

QVariant ParamsTree::value(const QString &section, const QString &name,
                           const QVariant &defaultValue) const {
    const QVariant found = getValue(section, name);
    return found.isValid() && !found.isNull() ? found : defaultValue;
}

void ParamsTree::changeValue(const QString &what, const QVariant &value) {
    auto *editor = findChild<QWidget *>(what);
    if (qobject_cast<QSpinBox *>(editor) || qobject_cast<QDoubleSpinBox *>(editor))
        setValueOf(editor, value);
}

void ParamsTree::saveValues(ParamsSerializer &serializer) const {
    for (int i = 0; i < topLevelItemCount(); ++i)
        saveItem(topLevelItem(i), {}, serializer);
}

void ParamsTree::saveItem(const QTreeWidgetItem *item, const QStringList &path,
                          ParamsSerializer &serializer) const {
    const QString name = nameOf(item);
    const QWidget *editor = editorOf(item);
    if (editor && editor->isEnabled() && !name.isEmpty()) {
        const QString text = valueOf(editor).toString();
        if (path.isEmpty())
            serializer.store(name, text);
        else
            serializer.store(path, name, text);
    }
    const QStringList inner = path + QStringList{name};
    for (int i = 0; i < item->childCount(); ++i)
        saveItem(item->child(i), inner, serializer);
}

void ParamsTree::loadValues(const ParamsSerializer &serializer) {
    for (int i = 0; i < topLevelItemCount(); ++i)
        loadItem(topLevelItem(i), {}, serializer);
}

void ParamsTree::loadItem(QTreeWidgetItem *item, const QStringList &path,
                          const ParamsSerializer &serializer) {
    const QString name = nameOf(item);
    if (QWidget *editor = editorOf(item)) {
        const QString current = valueOf(editor).toString();
        setValueOf(editor, path.isEmpty() ? serializer.load(name, current)
                                          : serializer.load(path, name, current));
    }
    const QStringList inner = path + QStringList{name};
    for (int i = 0; i < item->childCount(); ++i)
        loadItem(item->child(i), inner, serializer);
}

void ParamsTree::readNodes(QList<nodes> &sections) const {
    sections.clear();
    for (int i = 1; i < topLevelItemCount(); ++i)
        collectNodes(topLevelItem(i), sections);
}

void ParamsTree::collectNodes(const QTreeWidgetItem *item, QList<nodes> &sections) const {
    if (!editorOf(item) || item->childCount() > 0)
        sections.append({item->text(0), item->isExpanded() ? 1 : 0});
    for (int i = 0; i < item->childCount(); ++i)
        collectNodes(item->child(i), sections);
}

void ParamsTree::writeNodes(const QList<nodes> &sections) {
    for (const nodes &section : sections) {
        const QList<QTreeWidgetItem *> found = findItems(section.name, kFindExact, 0);
        if (!found.isEmpty()) found.first()->setExpanded(section.expand != 0);
    }
}

void ParamsTree::clear() {
    qDeleteAll(m_groups);
    m_groups.clear();
    QTreeWidget::clear();
    m_current = invisibleRootItem();
    addHeightRow();
}

int ParamsTree::rowHeight() const {
    int height = m_heightEditor->sizeHint().height();
    for (int i = 1; i < topLevelItemCount(); ++i) {
        const int shown = visualItemRect(topLevelItem(i)).height();
        if (shown > 0) return std::max(height, shown);
    }
    return height;
}

void ParamsTree::showEvent(QShowEvent *event) {
    QTreeWidget::showEvent(event);
    resizeColumnToContents(0);
    resizeColumnToContents(1);
}
