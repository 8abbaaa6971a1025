#pragma once

#include "paramsserializer.h"

#include <QSettings>

// Keeps the values in the application's settings store, a section list becoming nested groups.
class SettingsParamsSerializer : public ParamsSerializer {
public:
    explicit SettingsParamsSerializer(const QString &group);

    void store(const QString &key, const QString &text) override;
    void store(const QStringList &path, const QString &key, const QString &text) override;
    QString load(const QString &key, const QString &defaultText) const override;
    QString load(const QStringList &path, const QString &key,
                 const QString &defaultText) const override;
    bool saveAll(const QString &fileName) override;
    QString error() const override;

private:
    // mutable: entering and leaving groups to read does not change what is stored.
    mutable QSettings m_settings;
};
