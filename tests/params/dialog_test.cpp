#include "paramsdialog.h"

#include <common/eventually.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QScrollBar>
#include <QSettings>

namespace {

void fill(ParamsDialog &dialog) {
    dialog.addSection("First", "first");
    for (int i = 0; i < 40; ++i)
        dialog.addParam(QString("Row %1").arg(i), QString("r%1").arg(i), i, 0, 99);
    dialog.up().addSection("Second", "second", false).addParam("Flag", "flag", true);
}

}  // namespace

TEST(ParamsDialog, OpensForTwentyRowsAndRemembersItsState) {
    QSettings().remove("Remembered");
    {
        ParamsDialog dialog("Remembered");
        fill(dialog);
        dialog.show();
        ParamsTree *tree = dialog.tree();
        EXPECT_GE(tree->viewport()->height(), 20 * tree->rowHeight());
        EXPECT_EQ(dialog.value("First", "Row 3", 0), 3);
        EXPECT_EQ(dialog.value("", "Missing", "d"), "d");

        dialog.resize(500, 400);
        dialog.move(30, 40);
        tree->topLevelItem(1)->setExpanded(false);
        tree->topLevelItem(2)->setExpanded(true);
        dialog.hide();
    }
    QSettings settings;
    settings.beginGroup("Remembered");
    EXPECT_EQ(settings.value("size").toSize(), QSize(500, 400));
    ASSERT_EQ(settings.beginReadArray("nodes"), 2);
    settings.setArrayIndex(1);
    EXPECT_EQ(settings.value("node name").toString(), "Second");
    EXPECT_EQ(settings.value("node expand").toInt(), 1);
    settings.endArray();
    settings.setValue("scrollbar position", 2);
    settings.setValue("nodes/2/node expand", 0);  // arrays count from 1
    settings.setValue("nodes/1/node expand", 1);

    ParamsDialog again("Remembered");
    fill(again);
    again.show();
    EXPECT_EQ(again.size(), QSize(500, 400));
    EXPECT_EQ(again.pos(), QPoint(30, 40));
    EXPECT_TRUE(again.tree()->topLevelItem(1)->isExpanded());
    EXPECT_FALSE(again.tree()->topLevelItem(2)->isExpanded());
    EXPECT_TRUE(test::eventually([&] {
        QApplication::processEvents();
        return again.tree()->verticalScrollBar()->value() == 2;
    }));
}
