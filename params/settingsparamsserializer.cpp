#include "settingsparamsserializer.h"

#include <QCoreApplication>

namespace {

// Enters the groups of `path` (empty names skipped) and leaves them again on destruction.
class GroupScope {
public:
    GroupScope(QSettings &settings, const QStringList &path) : m_settings(settings) {
        for (const QString &name : path) {
            if (name.isEmpty()) continue;
            m_settings.beginGroup(name);
            ++m_depth;
        }
    }
    ~GroupScope() {
        for (int i = 0; i < m_depth; ++i)
            m_settings.endGroup();
    }
    GroupScope(const GroupScope &) = delete;
    GroupScope &operator=(const GroupScope &) = delete;

private:
    QSettings &m_settings;
    int m_depth = 0;
};

}  // namespace

SettingsParamsSerializer::SettingsParamsSerializer(const QString &group) {
    m_settings.beginGroup(group);
}

void SettingsParamsSerializer::store(const QString &key, const QString &text) {
    m_settings.setValue(key, text);
}

void SettingsParamsSerializer::store(const QStringList &path, const QString &key,
                                     const QString &text) {
    GroupScope scope(m_settings, path);
    m_settings.setValue(key, text);
}

QString SettingsParamsSerializer::load(const QString &key, const QString &defaultText) const {
    return m_settings.value(key, defaultText).toString();
}

QString SettingsParamsSerializer::load(const QStringList &path, const QString &key,
                                       const QString &defaultText) const {
    GroupScope scope(m_settings, path);
    return m_settings.value(key, defaultText).toString();
}

// The settings store writes by itself; flushing here tells the caller whether it could.
bool SettingsParamsSerializer::saveAll(const QString &) {
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}

QString SettingsParamsSerializer::error() const {
    switch (m_settings.status()) {
        case QSettings::NoError:
            return {};
        case QSettings::AccessError:
            return QCoreApplication::translate("SettingsParamsSerializer",
                                               "The settings store cannot be written.");
        case QSettings::FormatError:
            break;
    }
    return QCoreApplication::translate("SettingsParamsSerializer",
                                       "The settings store is damaged.");
}
