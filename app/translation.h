// The program in the user's language.
#pragma once

#include <QLocale>
#include <QStringList>

class QTranslator;

// Installs the program's translation for the locale from the first of the folders that holds
// one, and Qt's own (standard buttons and dialogs) from Qt's translations folder. English, the
// language of the sources, needs none. Returns the translators installed, owned by the
// application object; removing and deleting them goes back to English.
QList<QTranslator *> installTranslations(const QLocale &locale, const QStringList &folders);

// Where the program looks for its translations: beside it in the build tree, then the installed
// share folder beside its bin folder.
QStringList translationFolders();
