#include <gtest/gtest.h>
#include <QCoreApplication>

#include "common/qt_tsan_suppressions.h"

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
