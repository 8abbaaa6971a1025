// The device library's run as the program owns it: its log reaches the Qt categories only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QLoggingCategory>
#include <QStringList>
#include <QTemporaryFile>
#include <cstdio>
#include <mutex>

#include "comm/log.h"
#include "device/devicelibrary.h"

namespace {

// What reaches Qt's message handler, from any thread: "category type text".
std::mutex seenLock;
QStringList seen;  // guarded by seenLock

void keep(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    std::lock_guard g(seenLock);
    seen << QStringLiteral("%1 %2 %3").arg(QLatin1String(context.category)).arg(type).arg(text);
}

TEST(DeviceLibraryTest, LibraryLogReachesTheCommCategoryAndNothingReachesStandardOutput) {
    QTemporaryFile out;
    ASSERT_TRUE(out.open());
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    ASSERT_GE(::dup2(out.handle(), STDOUT_FILENO), 0);
    QLoggingCategory::setFilterRules(QStringLiteral("survokart.comm.debug=true"));
    QtMessageHandler previous = qInstallMessageHandler(keep);
    {
        DeviceLibrary library;
        EXPECT_EQ(library.start(), QString());
        log_write(LOG_CH_NET, "line %d\n", 1);
        log_append(LOG_CH_SERIAL, "    continued\n");
        log_error("broken %s\n", "link");
    }
    log_write(LOG_CH_NET, "after the stop\n");  // formatted and dropped, as before the start
    log_error("after the stop\n");
    std::fflush(stdout);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);

    std::lock_guard g(seenLock);
    EXPECT_TRUE(seen.contains(QStringLiteral("survokart.comm %1 NET: line 1").arg(QtDebugMsg)))
        << seen.join('\n').toStdString();
    EXPECT_TRUE(
        seen.contains(QStringLiteral("survokart.comm %1 SERIAL:     continued").arg(QtDebugMsg)));
    EXPECT_TRUE(seen.contains(QStringLiteral("survokart.comm %1 broken link").arg(QtWarningMsg)));
    EXPECT_TRUE(seen.filter(QStringLiteral("after the stop")).isEmpty());
    QFile written(out.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().toStdString(), "");
}

}  // namespace
