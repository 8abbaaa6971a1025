#include "translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

namespace {
QTranslator *loaded(const QLocale &locale, const QString &name, const QString &folder) {
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(locale, name, QStringLiteral("_"), folder) &&
        QCoreApplication::installTranslator(translator))
        return translator;
    delete translator;
    return nullptr;
}
}  // namespace

QList<QTranslator *> installTranslations(const QLocale &locale, const QStringList &folders) {
    QList<QTranslator *> installed;
    for (const QString &folder : folders) {
        if (QTranslator *own = loaded(locale, QStringLiteral("survokart"), folder)) {
            installed.append(own);
            break;
        }
    }
    // Only with the program's own: an English program with German standard buttons is worse
    // than one all English.
    if (!installed.isEmpty())
        if (QTranslator *qt = loaded(locale, QStringLiteral("qtbase"),
                                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            installed.append(qt);
    return installed;
}

QStringList translationFolders() {
    const QString bin = QCoreApplication::applicationDirPath();
    return {bin, QDir(bin).filePath(QStringLiteral("../share/survokart/translations"))};
}
