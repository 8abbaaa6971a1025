#pragma once

#include "paramsserializer.h"

#include <QHash>
#include <QLoggingCategory>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcParams)

// Keeps the values in memory by full key ("Section.Sub.name") and reads and writes them as a
// parameter file of `key=value` lines.
class SimpleParamsSerializer : public ParamsSerializer {
public:
    SimpleParamsSerializer() = default;
    // Reads the file at once; error() tells whether that worked.
    explicit SimpleParamsSerializer(const QString &fileName);

    // An empty serializer for an empty file name, otherwise one read from the file.
    static std::shared_ptr<ParamsSerializer> createSerializer(const QString &fileName);

    // The key a section list and a row name give: non-empty section names, each followed by ".".
    static QString fullKey(const QStringList &path, const QString &key);

    void store(const QString &key, const QString &text) override;
    void store(const QStringList &path, const QString &key, const QString &text) override;
    QString load(const QString &key, const QString &defaultText) const override;
    QString load(const QStringList &path, const QString &key,
                 const QString &defaultText) const override;
    bool saveAll(const QString &fileName) override;
    QString error() const override { return m_error; }

    // Parses parameter file contents into the store; returns the number of lines skipped.
    int parse(const QByteArray &contents);
    // The file contents for everything stored, in the order first stored.
    QByteArray serialize() const;

protected:
    // The first line of a written file, a comment saying what the file is.
    virtual QString heading() const;

private:
    bool readFile(const QString &fileName);
    bool checkWritable();

    QHash<QString, QString> m_values;
    QStringList m_order;  // keys in the order first stored, so a file follows the tree
    QString m_error;
};
