#include "appresources.h"

#include <QtCore/qglobal.h>

void initAppResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)registered;
}
