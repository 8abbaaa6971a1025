#pragma once

#include <QList>
#include <QMap>
#include <QTreeWidget>
#include <QVariant>

#include <concepts>

class ParamsSerializer;
class QButtonGroup;
class QLineEdit;
class QValidator;

// A tree of named, typed parameters in collapsible sections, built row by row with chained
// calls. Column 0 shows the label (the row's name in the user role), column 1 the editor, whose
// object name is the row's path. GUI thread only.
class ParamsTree : public QTreeWidget {
    Q_OBJECT

public:
    // One remembered section: its label and whether it is expanded (1) or collapsed (0).
    struct nodes {
        QString name;
        int expand = 0;
    };
    static constexpr int ExclusiveGroupNone = -1;

    explicit ParamsTree(QWidget *parent = nullptr);

    ParamsTree &addSection(const QString &label, const QString &name, bool expanded = true);
    // A template so that a name given as a character string is never taken for the flag.
    template <std::same_as<bool> Bool = bool>
    ParamsTree &addSection(const QString &label, Bool expanded = true) {
        return addSection(label, label, expanded);
    }
    ParamsTree &up();
    ParamsTree &asSection(bool expanded = true);
    ParamsTree &readOnly();

    ParamsTree &addParam(const QString &label, const QString &name, const QString &text,
                         const QString &inputMask = {});
    ParamsTree &addParam(const QString &label, const QString &name, const QString &text,
                         const char *inputMask);
    ParamsTree &addParam(const QString &label, const QString &name, const QString &text,
                         const QValidator *validator);
    ParamsTree &addParam(const QString &label, const QString &name, int index,
                         const QStringList &items);
    // A template so that a character string never lands here through the pointer-to-bool
    // conversion.
    template <std::same_as<bool> Bool>
    ParamsTree &addParam(const QString &label, const QString &name, Bool state,
                         int group = ExclusiveGroupNone) {
        return addCheckBox(label, name, state, group);
    }
    ParamsTree &addParam(const QString &label, const QString &name, const QVariant &value,
                         const QVariant &minimum, const QVariant &maximum, int decimals = 2);

    // The value of the first row called `name` under a section labelled `section` (any
    // ancestor; empty: anywhere), or `defaultValue` when there is none.
    QVariant value(const QString &section, const QString &name,
                   const QVariant &defaultValue = {}) const;
    QVariant getValue(const QString &section, const QString &name) const;

    void saveValues(ParamsSerializer &serializer) const;
    void loadValues(const ParamsSerializer &serializer);
    void readNodes(QList<nodes> &sections) const;
    void writeNodes(const QList<nodes> &sections);
    void clear();
    int rowHeight() const;

public slots:
    void changeValue(const QString &what, const QVariant &value);

signals:
    void valueChanged(const QString &what, const QVariant &value);

protected:
    void showEvent(QShowEvent *event) override;

private:
    ParamsTree &addCheckBox(const QString &label, const QString &name, bool state, int group);
    QTreeWidgetItem *addRow(const QString &label, const QString &name, QWidget *editor);
    QString pathOf(const QString &name) const;
    QTreeWidgetItem *lastItem() const;
    QWidget *editorOf(const QTreeWidgetItem *item) const;
    void addHeightRow();
    void joinGroup(int group, class QCheckBox *box);
    void saveItem(const QTreeWidgetItem *item, const QStringList &path,
                  ParamsSerializer &serializer) const;
    void loadItem(QTreeWidgetItem *item, const QStringList &path,
                  const ParamsSerializer &serializer);
    void collectNodes(const QTreeWidgetItem *item, QList<nodes> &sections) const;

    QTreeWidgetItem *m_current = nullptr;  // where the next row goes
    QMap<int, QButtonGroup *> m_groups;
    QLineEdit *m_heightEditor = nullptr;  // in the hidden row every row takes its height from
};
