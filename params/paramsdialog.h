#pragma once

#include "paramstree.h"

#include <QDialog>
#include <QHash>

#include <concepts>
#include <functional>
#include <memory>

class ParamsSerializer;

namespace Ui {
class ParamsDialog;
}

// A dialog around a ParamsTree that exports and imports the values through serializers chosen
// by file extension, and remembers its position, size, scroll position and open sections in
// the settings group named after its title. GUI thread only.
class ParamsDialog : public QDialog {
    Q_OBJECT

public:
    // Offered when saving (bit 0), when loading (bit 1).
    enum ExportType { ExportSave = 1, ExportLoad = 2, ExportBoth = 3 };
    enum Flag { SaveButton = 1, LoadButton = 2, NoCancelButton = 4 };
    using Factory = std::function<std::shared_ptr<ParamsSerializer>(const QString &fileName)>;
    struct Exporter {
        Factory factory;
        QString name;
        int type = ExportBoth;
    };

    explicit ParamsDialog(const QString &title, const QString &fileName = {}, int flags = 0,
                          QWidget *parent = nullptr);
    ~ParamsDialog() override;

    void setCaption(const QString &text);
    ParamsTree *tree() const;
    void addNewExport(const Factory &factory, const QString &name, const QString &extension,
                      int type);

    ParamsDialog &addSection(const QString &label, const QString &name, bool expanded = true);
    // A template so that a name given as a character string is never taken for the flag.
    template <std::same_as<bool> Bool = bool>
    ParamsDialog &addSection(const QString &label, Bool expanded = true) {
        return addSection(label, label, expanded);
    }
    ParamsDialog &up();
    ParamsDialog &asSection(bool expanded = true);
    ParamsDialog &readOnly();
    template <typename... Args>
    ParamsDialog &addParam(const QString &label, const QString &name, Args &&...args) {
        tree()->addParam(label, name, std::forward<Args>(args)...);
        return *this;
    }
    // Spelled out so that the items can be given as a braced list.
    ParamsDialog &addParam(const QString &label, const QString &name, int index,
                           const QStringList &items) {
        tree()->addParam(label, name, index, items);
        return *this;
    }

    long long value(const QString &section, const QString &name, long long defaultValue) const;
    int value(const QString &section, const QString &name, int defaultValue) const;
    unsigned int value(const QString &section, const QString &name,
                       unsigned int defaultValue) const;
    unsigned short value(const QString &section, const QString &name,
                         unsigned short defaultValue) const;
    unsigned char value(const QString &section, const QString &name,
                        unsigned char defaultValue) const;
    float value(const QString &section, const QString &name, float defaultValue) const;
    QString value(const QString &section, const QString &name, const QString &defaultValue) const;
    bool value(const QString &section, const QString &name, bool defaultValue) const;
    // Without this a character string default would be taken as a bool.
    QString value(const QString &section, const QString &name, const char *defaultValue) const {
        return value(section, name, QString::fromUtf8(defaultValue));
    }

public slots:
    void changeValue(const QString &what, const QVariant &value);
    void saveValues();
    void loadValues();

signals:
    void valueChanged(const QString &what, const QVariant &value);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    template <typename T>
    T typedValue(const QString &section, const QString &name, T defaultValue) const;
    QString fileFilter(int type) const;
    QString startPath() const;
    void rememberDirectory(const QString &fileName) const;
    std::shared_ptr<ParamsSerializer> serializerFor(const QString &fileName, bool forLoading) const;
    QSize defaultSize() const;
    void restoreState();
    void restoreScroll(int position);
    QString settingsGroup() const;

    std::unique_ptr<Ui::ParamsDialog> m_ui;
    QHash<QString, Exporter> m_exporters;  // by file extension
    QString m_fileName;                    // offered when saving and loading
};
