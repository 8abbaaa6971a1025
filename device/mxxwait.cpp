#include "mxxwait.h"

#include <QCoreApplication>
#include <QEventLoop>

int MXXWait::m_nest_depth = 0;

int MXXWait::wait(int, int, int) {
    ++m_nest_depth;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 100);
    --m_nest_depth;
    return 0;
}

bool MXXWait::idleLoopActive() {
    return m_nest_depth != 0;
}
