#pragma once

#include <QString>
#include <QStringList>

// A store of parameter values as text, by key. The parameter tree writes into one and reads
// back from one; where the values end up (settings, a file) is the implementation's business.
class ParamsSerializer {
public:
    virtual ~ParamsSerializer() = default;

    virtual void store(const QString &key, const QString &text) = 0;
    virtual void store(const QStringList &path, const QString &key, const QString &text) = 0;
    virtual QString load(const QString &key, const QString &defaultText) const = 0;
    virtual QString load(const QStringList &path, const QString &key,
                         const QString &defaultText) const = 0;
    // False when not everything collected reached the destination; error() says why.
    virtual bool saveAll(const QString &fileName) = 0;
    // Why the last read or write failed; empty when it did not.
    virtual QString error() const { return {}; }
};
