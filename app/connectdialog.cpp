#include "connectdialog.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <cstring>

#include "appsettings.h"
#include "comm/conn_string.h"
#include "mxx/mxx.h"
#include "ui_connectdialog.h"

namespace {

// An FTDI device (its id begins with "4") is reached as a serial line with these settings.
constexpr int kFtdiBaud = 38400;

// Copies a connection string into a library buffer, cut as the library cuts it.
void toBuffer(const QString &s, char (&buf)[COMM_CONN_STRING_SIZE]) {
    QByteArray utf8 = s.toUtf8().left(COMM_CONN_STRING_MAX);
    std::memset(buf, 0, sizeof buf);
    std::memcpy(buf, utf8.constData(), static_cast<size_t>(utf8.size()));
}

QString fromBuffer(const char (&buf)[COMM_CONN_STRING_SIZE]) {
    return QString::fromUtf8(buf, static_cast<qsizetype>(qstrnlen(buf, sizeof buf)));
}

QString deviceId(const QString &connString) {
    char in[COMM_CONN_STRING_SIZE];
    char out[COMM_CONN_STRING_SIZE] = {};
    toBuffer(connString, in);
    comm_get_devid_string(in, out);
    return fromBuffer(out);
}

// The string a listed USB device is connected by.
QString usbConnString(const QString &listed, const QString &id) {
    if (!id.startsWith(u'4')) return listed;
    char buf[COMM_CONN_STRING_SIZE] = {};
    if (comm_make_conn_string_ftdi_serial(buf, id.toUtf8().constData(), kFtdiBaud, 8, 1, 0, 0) != 0)
        return listed;
    return fromBuffer(buf);
}

}  // namespace

ConnectDialog::ConnectDialog(QSharedPointer<MXXSeeker> seeker, QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ConnectDialog>()), m_seeker(std::move(seeker)) {
    qRegisterMetaType<BTDeviceList>("BTDeviceList");
    m_ui->setupUi(this);

    connect(m_ui->closeButton, &QPushButton::clicked, this, &ConnectDialog::reject);
    connect(m_ui->connectButton, &QPushButton::clicked, this, &ConnectDialog::connectRequest);
    connect(m_ui->discoverButton, &QPushButton::clicked, this, &ConnectDialog::discoverRequest);
    connect(m_ui->tabWidget, &QTabWidget::currentChanged, this, &ConnectDialog::selectionChanged);
    for (int tab = 0; tab < TabCount; ++tab)
        connect(listOf(tab), &QListWidget::itemSelectionChanged, this,
                &ConnectDialog::selectionChanged);
    connect(m_ui->discoverNetButton, &QPushButton::clicked, this,
            &ConnectDialog::discoverNetRequest);
    connect(m_seeker.data(), &MXXSeeker::deviceUSBListChanged, this, &ConnectDialog::updateUSBTab);
    connect(m_seeker.data(), &MXXSeeker::discoveredBTDevices, this, &ConnectDialog::updateBTTab);
    connect(m_seeker.data(), &MXXSeeker::discoveredNetDevices, this, &ConnectDialog::updateNetTab);
    connect(m_ui->checkbox_net, &QCheckBox::stateChanged, this, &ConnectDialog::checkboxNetStatus);
    connect(m_ui->checkbox_port, &QCheckBox::stateChanged, this, &ConnectDialog::checkboxPort);

    updateUSBTab();
    int tab = AppSettings().connectTab();
    if (tab >= 0 && tab < m_ui->tabWidget->count()) m_ui->tabWidget->setCurrentIndex(tab);
}

ConnectDialog::~ConnectDialog() = default;

bool ConnectDialog::execute(QList<QString> excluded) {
    m_result = false;
    m_excluded = std::move(excluded);
    updateUSBTab();
    exec();
    return m_result;
}

QString ConnectDialog::connectionString() const {
    return m_connectionString;
}

QListWidget *ConnectDialog::listOf(int tab) const {
    switch (tab) {
        case UsbTab:
            return m_ui->listUSB;
        case BluetoothTab:
            return m_ui->listBT;
        default:
            return m_ui->list_net;
    }
}

// Refills a tab; the row whose text was current stays current, wherever it moved.
void ConnectDialog::fillTab(int tab, const QList<Row> &rows) {
    QListWidget *list = listOf(tab);
    QString remembered = list->currentItem() ? list->currentItem()->text() : QString();
    list->clear();
    m_connStrings[tab].clear();
    bool found = false;
    for (const Row &row : rows) {
        list->addItem(row.text);
        m_connStrings[tab].append(row.connString);
        if (!found && !remembered.isEmpty() && row.matches.contains(remembered)) {
            list->setCurrentRow(list->count() - 1);
            found = true;
        }
    }
}

void ConnectDialog::updateUSBTab() {
    std::vector<QString> listed;
    m_seeker->listUSBDevices(listed);
    QList<Row> rows;
    for (const QString &s : listed) {
        QString id = deviceId(s);
        QString connString = usbConnString(s, id);
        // A device in use is left out in the form it was listed and in the form it is connected
        // by, so that a panel connected through the serial line does not offer it again.
        if (m_excluded.contains(s) || m_excluded.contains(connString)) continue;
        QString text = id.isEmpty() ? s : id;
        rows.append({text, connString, {text}});
    }
    fillTab(UsbTab, rows);
}

void ConnectDialog::updateBTTab(BTDeviceList devList, bool done) {
    QList<Row> rows;
    for (const auto &[name, address] : devList) {
        char buf[COMM_CONN_STRING_SIZE] = {};
        if (MXX_make_bt_conn_string(buf, address.toUtf8().constData(), name.toUtf8().constData()) !=
            0)
            continue;
        QStringList matches{address};
        if (!name.isEmpty()) matches.prepend(name);
        rows.append({name.isEmpty() ? address : name, fromBuffer(buf), matches});
    }
    fillTab(BluetoothTab, rows);
    if (done) m_ui->discoverButton->setEnabled(true);
}

void ConnectDialog::updateNetTab(QStringList list) {
    QList<Row> rows;
    for (const QString &address : list) {
        char buf[COMM_CONN_STRING_SIZE] = {};
        if (MXX_make_net_conn_string(buf, address.toUtf8().constData(), kDefaultPort) != 0)
            continue;
        rows.append({address, fromBuffer(buf), {address}});
    }
    fillTab(NetTab, rows);
}

void ConnectDialog::selectionChanged() {
    int tab = m_ui->tabWidget->currentIndex();
    // A typed address can be chosen while the answers' list refills under it.
    bool typed = tab == NetTab && m_ui->checkbox_net->isChecked();
    m_ui->connectButton->setEnabled(typed || listOf(tab)->currentItem() != nullptr);
}

void ConnectDialog::checkboxNetStatus(int state) {
    if (state != Qt::Unchecked && state != Qt::Checked) return;
    m_ui->edit_net->setEnabled(state == Qt::Checked);
    selectionChanged();
}

void ConnectDialog::checkboxPort(int state) {
    if (state == Qt::Unchecked) m_ui->edit_port->setEnabled(true);
    if (state == Qt::Checked) m_ui->edit_port->setEnabled(false);
}

void ConnectDialog::discoverRequest() {
    if (!m_ui->discoverButton->isEnabled()) return;
    m_ui->discoverButton->setDisabled(true);
    // An inquiry that did not start sends no final result to enable the button again.
    if (m_seeker->discoverBT() != 0) m_ui->discoverButton->setEnabled(true);
}

void ConnectDialog::forgetNetAnswers() {
    m_seeker->resetNetReplies();
    m_ui->list_net->clear();
    m_connStrings[NetTab].clear();
}

void ConnectDialog::discoverNetRequest() {
    forgetNetAnswers();
    m_seeker->sendNetQuery();
}

void ConnectDialog::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    // What answered while it was open before may have gone since.
    forgetNetAnswers();
    m_ui->tabWidget->setTabEnabled(BluetoothTab, m_seeker->isBTAvailable());
    m_seeker->discoverNet();
    m_seeker->setEnabledNetTimer(true);
}

// Every way the dialog ends hides it, while accept and reject send it no close event.
void ConnectDialog::hideEvent(QHideEvent *event) {
    m_seeker->cancelDiscoverBT();
    m_ui->discoverButton->setEnabled(true);
    m_seeker->setEnabledNetTimer(false);
    m_seeker->cancelDiscoverNet();
    QDialog::hideEvent(event);
}

void ConnectDialog::keyPressEvent(QKeyEvent *event) {
    int step = event->key() == Qt::Key_Up ? -1 : event->key() == Qt::Key_Down ? 1 : 0;
    QListWidget *list = listOf(m_ui->tabWidget->currentIndex());
    int next = list->currentRow() + step;
    if (step != 0 && list->currentRow() >= 0 && next >= 0 && next < list->count()) {
        list->setCurrentRow(next);
        return;
    }
    QDialog::keyPressEvent(event);
}

void ConnectDialog::showError(const QString &title, const QString &text) {
    QMessageBox::critical(this, title, text, QMessageBox::Ok);
}

std::optional<quint16> ConnectDialog::typedPort() const {
    if (m_ui->checkbox_port->isChecked()) return kDefaultPort;
    bool ok = false;
    uint port = m_ui->edit_port->text().toUInt(&ok, 10);
    // A port outside the 16-bit range would silently become another one.
    if (!ok || port < 1 || port > 65535) return std::nullopt;
    return static_cast<quint16>(port);
}

// The string of the typed address, or nothing after telling the user what is wrong with it.
std::optional<QString> ConnectDialog::typedAddressString() {
    std::optional<quint16> port = typedPort();
    if (!port) {
        showError(tr("Wrong port"), tr("You have entered wrong port number!"));
        return std::nullopt;
    }
    // Spaces around a pasted address are not part of it.
    const QString host = m_ui->edit_net->text().trimmed();
    char buf[COMM_CONN_STRING_SIZE] = {};
    // A "/" would split the address into fields of the connection string.
    if (host.contains(u'/') ||
        MXX_make_net_conn_string(buf, host.toUtf8().constData(), *port) != 0) {
        showError(tr("Wrong address"), tr("You have entered wrong IP address!"));
        return std::nullopt;
    }
    return fromBuffer(buf);
}

void ConnectDialog::connectRequest() {
    int tab = m_ui->tabWidget->currentIndex();
    std::optional<QString> chosen;
    if (tab == NetTab && m_ui->checkbox_net->isChecked()) {
        chosen = typedAddressString();
    } else {
        int row = listOf(tab)->currentRow();
        if (row >= 0 && row < m_connStrings[tab].size()) chosen = m_connStrings[tab].at(row);
    }
    // Nothing chosen: the dialog stays open rather than handing back an old string.
    if (!chosen) return;
    m_connectionString = *chosen;
    m_result = true;
    AppSettings().setConnectTab(tab);
    accept();
}
