#include "paramstree.h"
#include "simpleparamsserializer.h"

#include <gtest/gtest.h>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QIntValidator>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>

namespace {

template <typename Editor>
Editor *editor(const ParamsTree &tree, const QString &path) {
    auto *found = tree.findChild<Editor *>(path);
    EXPECT_NE(found, nullptr) << path.toStdString();
    return found;
}

}  // namespace

TEST(ParamsTree, BuildsWhereTheCallsSayAndFindsRowsThroughAnyAncestor) {
    ParamsTree tree;
    tree.up().asSection().addParam("Early", "early", "e").up();
    tree.addSection("Top", "top").asSection().addSection("Mid", "mid").addSection("Low", "low");
    tree.addParam("Depth", "depth", 3, 0, 9).up().up().up().up();
    tree.addParam("Late", "late", "l");
    tree.addParam("Locked", "locked", 5, 0, 9).readOnly();

    EXPECT_NE(tree.findChild<QLineEdit *>(".early"), nullptr);
    EXPECT_NE(tree.findChild<QLineEdit *>(".late"), nullptr);
    EXPECT_NE(tree.findChild<QSpinBox *>("top.mid.low.depth"), nullptr);
    EXPECT_EQ(tree.value("Top", "Depth"), QVariant(3));
    EXPECT_EQ(tree.value("Mid", "Depth"), QVariant(3));
    EXPECT_EQ(tree.value("Elsewhere", "Depth", 7), QVariant(7));
    EXPECT_EQ(tree.value("", "Nothing", "d"), QVariant("d"));

    SimpleParamsSerializer saved;
    tree.saveValues(saved);
    EXPECT_EQ(saved.load("early", {}), "e");  // top level: no leading "."
    EXPECT_EQ(saved.load({"top", "mid", "low"}, "depth", {}), "3");
    EXPECT_EQ(saved.load("locked", "not saved"), "not saved");

    SimpleParamsSerializer incoming;
    incoming.store("locked", "8");
    tree.loadValues(incoming);
    EXPECT_EQ(tree.value("", "Locked"), QVariant(8));
}

TEST(ParamsTree, ExclusiveGroupsAndTicksRoundTrip) {
    ParamsTree tree;
    tree.addParam("A", "a", true, 1).addParam("B", "b", true, 1).addParam("C", "c", true);
    tree.addParam("D", "d", false, 2);
    EXPECT_EQ(tree.value("", "A"), QVariant(false));  // B joined ticked
    editor<QCheckBox>(tree, ".a")->setChecked(true);
    EXPECT_EQ(tree.value("", "B"), QVariant(false));
    EXPECT_EQ(tree.value("", "C"), QVariant(true));  // not in a group

    SimpleParamsSerializer saved;
    tree.saveValues(saved);
    EXPECT_EQ(saved.load("a", {}), "true");
    EXPECT_EQ(saved.load("b", {}), "false");
    editor<QCheckBox>(tree, ".b")->setChecked(true);
    editor<QCheckBox>(tree, ".d")->setChecked(true);
    saved.store("d", "false");
    tree.loadValues(saved);
    EXPECT_EQ(tree.value("", "A"), QVariant(true));
    EXPECT_EQ(tree.value("", "B"), QVariant(false));
    EXPECT_EQ(tree.value("", "D"), QVariant(false));  // a group may have no box ticked
}

TEST(ParamsTree, NumericEditsAreReportedAndBadValuesIgnored) {
    ParamsTree tree;
    tree.addSection("Filter", "filter").addParam("Length", "len", 4, 1, 100);
    tree.addParam("Gain", "gain", 1.5, 0.0, 10.0, 2).addParam("Mode", "mode", 1, {"a", "b"});
    QSignalSpy spy(&tree, &ParamsTree::valueChanged);
    tree.changeValue("filter.len", 42);
    tree.changeValue("filter.gain", 2.25);
    tree.changeValue("filter.mode", 0);  // not a spin box
    tree.changeValue("nowhere", 1);
    ASSERT_EQ(spy.size(), 2);
    EXPECT_EQ(spy[0][0].toString(), "filter.len");
    EXPECT_EQ(spy[0][1], QVariant(42));
    EXPECT_EQ(spy[1][0].toString(), "filter.gain");
    EXPECT_EQ(spy[1][1], QVariant(2.25));
    EXPECT_EQ(tree.value("", "Mode"), QVariant(1));

    SimpleParamsSerializer incoming;
    incoming.store({"filter"}, "mode", "2");
    incoming.store({"filter"}, "len", "0x1F");
    incoming.store({"filter"}, "gain", "3,5");
    tree.loadValues(incoming);
    EXPECT_EQ(tree.value("", "Mode"), QVariant(1));
    EXPECT_EQ(tree.value("", "Length"), QVariant(31));
    EXPECT_EQ(tree.value("", "Gain"), QVariant(3.5));
    incoming.store({"filter"}, "len", "twelve");
    tree.loadValues(incoming);
    EXPECT_EQ(tree.value("", "Length"), QVariant(31));
}

TEST(ParamsTree, FileRoundTripRestoresEveryEditableRow) {
    const QString text = QString::fromUtf8("a=b # c  µSv/h ☢");
    QIntValidator validator(0, 999);
    auto build = [&](ParamsTree &tree) {
        tree.addParam("Note", "note", text).addParam("Code", "code", "42", &validator);
        tree.addSection("Unit", "unit").addSection("Inner", "inner");
        tree.addParam("Serial", "serial", "AB-12", ">AA-99").addParam("On", "on", true, 3);
        tree.addParam("Off", "off", false, 3).addParam("Mode", "mode", 2, {"x", "y", "z"});
        tree.addParam("Count", "count", 7, -10, 10).addParam("Rate", "rate", 0.125, 0., 1., 3);
    };
    ParamsTree original;
    build(original);
    QTemporaryDir dir;
    const QString path = dir.filePath("params.txt");
    SimpleParamsSerializer out;
    original.saveValues(out);
    ASSERT_TRUE(out.saveAll(path));

    ParamsTree restored;
    build(restored);
    restored.clear();
    build(restored);  // a cleared tree builds anew
    editor<QLineEdit>(restored, ".note")->setText("changed");
    editor<QCheckBox>(restored, "unit.inner.off")->setChecked(true);
    editor<QComboBox>(restored, "unit.inner.mode")->setCurrentIndex(0);
    editor<QSpinBox>(restored, "unit.inner.count")->setValue(-3);
    restored.loadValues(*SimpleParamsSerializer::createSerializer(path));
    for (const char *name : {"Note", "Code", "Serial", "On", "Off", "Mode", "Count", "Rate"})
        EXPECT_EQ(restored.value("", name), original.value("", name)) << name;

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("garbage line\nunit.inner.count=9\n");
    file.close();
    restored.loadValues(*SimpleParamsSerializer::createSerializer(path));
    EXPECT_EQ(restored.value("", "Count"), QVariant(9));
    EXPECT_EQ(restored.value("", "Note"), QVariant(text));  // absent: left as it was
}
