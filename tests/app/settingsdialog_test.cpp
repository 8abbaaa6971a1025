// The settings dialog: what "Ok" hands back, what "Cancel" leaves alone.
#include <QColorDialog>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>

#include "app/settingsdialog.h"
#include "dialogs.h"

namespace {

const QList<double> kValues = {200, 1000, 100000, 1e6, 2.5};
const QList<QColor> kColors = {Qt::green, Qt::yellow, QColor(255, 128, 0), Qt::red, Qt::magenta};

template <typename T>
T *child(SettingsDialog &d, const char *name) {
    T *w = d.findChild<T *>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

void click(SettingsDialog &d, const char *name) {
    child<QPushButton>(d, name)->click();
}

// Every colour dialog is answered with the next of `answers`; an invalid colour cancels it.
struct ColorAnswers {
    QList<QColor> answers;
    QStringList titles;
    test::ModalAnswer<QColorDialog> answer{[this](QColorDialog *d) {
        titles << d->windowTitle();
        QColor c = answers.takeFirst();
        if (!c.isValid()) return d->reject();
        d->setCurrentColor(c);
        d->accept();
    }};
};

TEST(SettingsDialog, OkReturnsTheEditsAndCancelReturnsWhatCameIn) {
    ColorAnswers colors;
    colors.answers = {QColor(10, 20, 30), QColor()};
    SettingsDialog dialog("/maps/a.png", "/pictures", 2.0, 100, kValues, kColors, 1);
    dialog.show();
    EXPECT_EQ(child<QLineEdit>(dialog, "edit_color3")->text(), "100000");
    EXPECT_EQ(child<QLineEdit>(dialog, "edit_color4")->text(), "1e+06");
    EXPECT_EQ(child<QLabel>(dialog, "label_color3")->styleSheet(), "background:rgb(255,128,0)");

    auto *font = child<QSpinBox>(dialog, "spinBox_font");
    font->setValue(500);
    EXPECT_EQ(font->value(), 400);
    font->setValue(5);
    EXPECT_EQ(font->value(), 10);
    child<QLineEdit>(dialog, "edit_color2")->setText("abc");

    click(dialog, "btn_color3");
    EXPECT_EQ(child<QLabel>(dialog, "label_color3")->styleSheet(), "background:rgb(10,20,30)");
    click(dialog, "btn_color1");  // cancelled: the old colour stays
    EXPECT_EQ(child<QLabel>(dialog, "label_color1")->styleSheet(), "background:rgb(0,255,0)");
    EXPECT_EQ(colors.titles, QStringList({"Choose a color", "Choose a color"}));

    QSignalSpy clear(&dialog, &SettingsDialog::clearGpsDataOnMap);
    click(dialog, "btn_clearGpsData");
    EXPECT_EQ(clear.count(), 1);
    EXPECT_TRUE(dialog.isVisible());
    test::screenshot(dialog, QStringLiteral("settings_dialog.png"));

    click(dialog, "btn_ok");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.getScaleFactor(), 10);
    EXPECT_EQ(dialog.getValues(), (QList<double>{200, 0, 100000, 1e6, 2.5}));
    QList<QColor> expected = kColors;
    expected[2] = QColor(10, 20, 30);
    EXPECT_EQ(dialog.getColors(), expected);
    EXPECT_EQ(dialog.getMapDir(), "/maps/a.png");
    EXPECT_EQ(dialog.getPicDir(), "/pictures");
    EXPECT_EQ(dialog.getTrackRadius(), 2.0);
    EXPECT_EQ(dialog.getMapPoints(), 1);

    // Everything changed, then cancelled.
    colors.answers = {QColor(1, 2, 3)};
    SettingsDialog cancelled("/maps/a.png", "/pictures", 2.0, 80, kValues, kColors, 0);
    cancelled.show();
    child<QSpinBox>(cancelled, "spinBox_font")->setValue(50);
    child<QDoubleSpinBox>(cancelled, "spinBox_radius")->setValue(7.5);
    child<QComboBox>(cancelled, "comboBox")->setCurrentIndex(1);
    child<QLineEdit>(cancelled, "edit_color1")->setText("5");
    click(cancelled, "btn_color2");
    click(cancelled, "btn_cancel");
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    EXPECT_EQ(cancelled.getScaleFactor(), 80);
    EXPECT_EQ(cancelled.getTrackRadius(), 2.0);
    EXPECT_EQ(cancelled.getMapPoints(), 0);
    EXPECT_EQ(cancelled.getValues(), kValues);
    EXPECT_EQ(cancelled.getColors(), kColors);
}

}  // namespace
