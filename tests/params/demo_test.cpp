// The demo tool loads a parameter file through the routine the dialog's Load button uses.
#include <gtest/gtest.h>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/stat.h>

TEST(ParamsDemo, LoadRefusesAFifoOrADeviceAtOnce) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("params.fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {QStringLiteral("/dev/zero"), fifo}) {
        QProcess demo;
        // A program that reads without end hits this bound rather than the machine's memory.
        demo.setChildProcessModifier([] {
            const rlimit memory{1L << 30, 1L << 30};
            ::setrlimit(RLIMIT_AS, &memory);
        });
        demo.start(PARAMS_DEMO, {"--load", path});
        ASSERT_TRUE(demo.waitForStarted()) << demo.errorString().toStdString();
        if (!demo.waitForFinished(30000)) {
            demo.kill();
            demo.waitForFinished();
            ADD_FAILURE() << path.toStdString() << ": still loading after 30 s";
            continue;
        }
        EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit) << path.toStdString();
        EXPECT_EQ(demo.exitCode(), 1) << path.toStdString();
        EXPECT_EQ(demo.readAllStandardError().toStdString(),
                  (path + " is not a regular file. Choose a parameter file saved by Survokart.\n")
                      .toStdString());
    }
}
