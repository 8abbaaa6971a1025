// Lets the user pick one instrument, attached by USB, found by a Bluetooth inquiry, answering on
// the local network or typed by address, and returns its connection string. It never connects
// anything itself. Discovery runs only while the dialog is shown.
#pragma once

#include <QDialog>
#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>
#include <optional>

#include "device/mxxseeker.h"

class QListWidget;

namespace Ui {
class ConnectDialog;
}

class ConnectDialog : public QDialog {
    Q_OBJECT

public:
    enum Tab { UsbTab = 0, BluetoothTab = 1, NetTab = 2, TabCount = 3 };
    static constexpr quint16 kDefaultPort = 4444;

    explicit ConnectDialog(QSharedPointer<MXXSeeker> seeker, QWidget *parent = nullptr);
    ~ConnectDialog() override;

    // Runs the dialog modally, leaving out the USB devices whose connection strings are given
    // (devices already in use); true when a connection string was chosen.
    bool execute(QList<QString> excluded);
    // The string chosen last; kept between calls.
    QString connectionString() const;

public slots:
    void updateUSBTab();
    void updateBTTab(BTDeviceList devList, bool done);
    void updateNetTab(QStringList list);
    void selectionChanged();
    void connectRequest();
    void discoverRequest();
    void discoverNetRequest();
    void checkboxNetStatus(int state);
    void checkboxPort(int state);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    // Shows a critical message box; tests replace it so that nothing waits for a click.
    virtual void showError(const QString &title, const QString &text);

private:
    // The Net tab's answers, listed and heard, dropped.
    void forgetNetAnswers();
    // One row of a list: its text, the connection string it stands for, and the texts by which
    // a remembered selection finds it again.
    struct Row {
        QString text;
        QString connString;
        QStringList matches;
    };

    QListWidget *listOf(int tab) const;
    void fillTab(int tab, const QList<Row> &rows);
    std::optional<QString> typedAddressString();
    std::optional<quint16> typedPort() const;

    bool m_result = false;
    std::unique_ptr<Ui::ConnectDialog> m_ui;
    QSharedPointer<MXXSeeker> m_seeker;
    std::array<QStringList, TabCount> m_connStrings;  // per tab, in row order
    QString m_connectionString;
    QStringList m_excluded;
};
