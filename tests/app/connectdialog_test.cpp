#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/connectdialog.h"
#include "comm/bluetooth.h"
#include "comm/bt_mock.h"

// Readable texts in failure messages.
inline void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// USB instruments come from the test: this machine has none to list.
class ListedSeeker : public MXXSeeker {
public:
    std::vector<QString> usb;
    int listUSBDevices(std::vector<QString> &list) const override {
        list = usb;
        return 0;
    }
    int sendNetQuery() override { return 0; }
};

class QuietDialog : public ConnectDialog {
public:
    using ConnectDialog::ConnectDialog;
    QStringList errors;

protected:
    void showError(const QString &title, const QString &text) override {
        errors << title + ": " + text;
    }
};

// Runs the dialog, does `act` once it is shown, and closes it if `act` left it open.
bool run(ConnectDialog &dialog, QList<QString> excluded, const std::function<void()> &act) {
    QTimer::singleShot(0, &dialog, [&] {
        act();
        if (dialog.isVisible()) dialog.reject();
    });
    return dialog.execute(std::move(excluded));
}

QStringList texts(const QListWidget *list) {
    QStringList t;
    for (int i = 0; i < list->count(); ++i)
        t << list->item(i)->text();
    return t;
}

QString currentText(const QListWidget *list) {
    return list->currentItem() ? list->currentItem()->text() : QString();
}

template <typename T>
T *child(const QObject &dialog, const char *name) {
    auto *c = dialog.findChild<T *>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

class ConnectDialogTest : public ::testing::Test {
protected:
    QSharedPointer<ListedSeeker> seeker = QSharedPointer<ListedSeeker>::create();
};

TEST_F(ConnectDialogTest, UsbRowsLeaveOutDevicesInUseAndKeepTheSelection) {
    seeker->usb = {"USBU/ABC123/1781/0c45", "USBF/4A1B2C/1781/0c44", "USBU/ZZZ/1781/0c45",
                   "USBF/4D00/1781/0c44"};
    QuietDialog dialog(seeker);
    auto *list = child<QListWidget>(dialog, "listUSB");
    auto *select = child<QPushButton>(dialog, "connectButton");

    // In use: one device as listed, an FTDI one by the serial line it is connected through.
    bool chosen = run(dialog, {"USBU/ABC123/1781/0c45", "USBS/4A1B2C/38400/8/1/0/0"}, [&] {
        EXPECT_EQ(texts(list), (QStringList{"ZZZ", "4D00"}));
        EXPECT_FALSE(select->isEnabled());
        list->setCurrentRow(1);
        seeker->usb = {"USBF/4D00/1781/0c44", "USBU/NEW/1781/0c45", "USBU/ZZZ/1781/0c45"};
        seeker->emitDeviceUSBListChanged();
        EXPECT_EQ(texts(list), (QStringList{"4D00", "NEW", "ZZZ"}));
        EXPECT_EQ(currentText(list), "4D00");
        select->click();
    });
    EXPECT_TRUE(chosen);
    EXPECT_EQ(dialog.connectionString(), "USBS/4D00/38400/8/1/0/0");

    chosen = run(dialog, {}, [&] {
        list->setCurrentRow(1);
        select->click();
    });
    EXPECT_TRUE(chosen);
    EXPECT_EQ(dialog.connectionString(), "USBU/NEW/1781/0c45");
}

TEST_F(ConnectDialogTest, TypedAddressAndPortAndTheRememberedTab) {
    QuietDialog dialog(seeker);
    auto *tabs = child<QTabWidget>(dialog, "tabWidget");
    auto *typed = child<QCheckBox>(dialog, "checkbox_net");
    auto *defaultPort = child<QCheckBox>(dialog, "checkbox_port");
    auto *port = child<QLineEdit>(dialog, "edit_port");
    auto *select = child<QPushButton>(dialog, "connectButton");

    bool chosen = run(dialog, {}, [&] {
        tabs->setCurrentIndex(ConnectDialog::NetTab);
        typed->click();
        // Pasted with the spaces around it that a copied address often brings.
        QTest::keyClicks(child<QLineEdit>(dialog, "edit_net"), " 10.0.0.5 ");
        select->click();
    });
    EXPECT_TRUE(chosen);
    EXPECT_EQ(dialog.connectionString(), "NETW/10.0.0.5/4444/1000");
    EXPECT_EQ(QSettings("Corvanta", "Survokart").value("ConnectDialog/tab").toInt(), 2);

    chosen = run(dialog, {}, [&] {
        defaultPort->click();
        EXPECT_TRUE(port->isEnabled());
        for (const char *wrong : {"abc", "70000", "0"}) {
            port->setText(wrong);
            select->click();
            EXPECT_TRUE(dialog.isVisible()) << wrong;
        }
        port->setText("4445");
        select->click();
    });
    EXPECT_TRUE(chosen);
    EXPECT_EQ(dialog.connectionString(), "NETW/10.0.0.5/4445/1000");
    EXPECT_EQ(dialog.errors, QStringList(3, "Wrong port: You have entered wrong port number!"));

    QuietDialog reopened(seeker);
    EXPECT_EQ(child<QTabWidget>(reopened, "tabWidget")->currentIndex(), ConnectDialog::NetTab);
}

TEST_F(ConnectDialogTest, BluetoothWithoutRadioAndNetworkAnswers) {
    QuietDialog dialog(seeker);
    auto *tabs = child<QTabWidget>(dialog, "tabWidget");
    auto *netList = child<QListWidget>(dialog, "list_net");
    auto *select = child<QPushButton>(dialog, "connectButton");

    bool chosen = run(dialog, {}, [&] {
        EXPECT_FALSE(tabs->isTabEnabled(ConnectDialog::BluetoothTab));
        dialog.updateBTTab({{"", "00:11:22:33:44:55"}, {"M30 7", "66:77:88:99:AA:BB"}}, true);
        EXPECT_EQ(texts(child<QListWidget>(dialog, "listBT")),
                  (QStringList{"00:11:22:33:44:55", "M30 7"}));

        // A typed address stays selectable while the answers refill the list under it.
        tabs->setCurrentIndex(ConnectDialog::NetTab);
        child<QCheckBox>(dialog, "checkbox_net")->click();
        dialog.updateNetTab({"10.0.0.7"});
        EXPECT_TRUE(select->isEnabled());
        child<QCheckBox>(dialog, "checkbox_net")->click();
        EXPECT_FALSE(select->isEnabled());

        dialog.updateNetTab({"10.0.0.7", "10.0.0.8"});
        netList->setCurrentRow(1);
        dialog.updateNetTab({"10.0.0.8"});
        EXPECT_EQ(currentText(netList), "10.0.0.8");
        select->click();
    });
    EXPECT_TRUE(chosen);
    EXPECT_EQ(dialog.connectionString(), "NETW/10.0.0.8/4444/1000");

    // Opened again, it offers none of the answers of its former opening.
    run(dialog, {}, [&] { EXPECT_EQ(netList->count(), 0); });
}

// The real seeker's Bluetooth inquiry, with BlueZ played by the mock.
class ConnectDialogBluez : public test::MockBluez {
protected:
    QSharedPointer<ListedSeeker> seeker = QSharedPointer<ListedSeeker>::create();
    void TearDown() override {
        bt_ms_set_inquiry_ms(10 * 1280);
        MockBluez::TearDown();
    }
};

TEST_F(ConnectDialogBluez, DiscoverListsInstrumentsAndStaysBusyUntilTheInquiryEnds) {
    add_adapter();
    for (const char *address : {"00:11:22:33:44:01", "00:11:22:33:44:02"})
        update(add_device(address, address[16] == '1' ? "M30-C1" : "M30-C2"), "org.bluez.Device1",
               "Class", "u", 0xffe050u);
    bt_ms_set_inquiry_ms(600000);  // still running while the results come in
    QuietDialog dialog(seeker);
    auto *tabs = child<QTabWidget>(dialog, "tabWidget");
    auto *list = child<QListWidget>(dialog, "listBT");
    auto *discover = child<QPushButton>(dialog, "discoverButton");

    bool chosen = run(dialog, {}, [&] {
        ASSERT_TRUE(tabs->isTabEnabled(ConnectDialog::BluetoothTab));
        tabs->setCurrentIndex(ConnectDialog::BluetoothTab);
        discover->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return list->count() == 2; }, 30000));
        EXPECT_EQ(texts(list), (QStringList{"M30-C1", "M30-C2"}));
        EXPECT_FALSE(discover->isEnabled()) << "a result is not the end of the inquiry";
        list->setCurrentRow(1);
        child<QPushButton>(dialog, "connectButton")->click();
    });
    EXPECT_TRUE(chosen);
    EXPECT_TRUE(dialog.connectionString().startsWith("BLTH/00:11:22:33:44:02/"))
        << dialog.connectionString().toStdString();
}

}  // namespace
