#include "daverirido.h"
#include "platform.h"
#include "windowchanger.h"

#include <QApplication>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegExpValidator>
#include <QTimer>

namespace {

// A dotted IPv4 address: four parts 0 to 255, no leading zeros.
const char ipPattern[] =
    "((\\d|[1-9]\\d|1\\d\\d|2[0-4]\\d|25[0-5])\\.){3}(\\d|[1-9]\\d|1\\d\\d|2[0-4]\\d|25[0-5])$";

const char defaultNetmask[] = "255.255.255.0";
// What IP Helper reports for an adapter without an address.
const char noAddress[] = "0.0.0.0";
const int refreshInterval = 1000;

// The netmasks a user may type: the contiguous masks of 10 to 30 bits.
QStringList acceptedNetmasks()
{
    QStringList masks;
    for (int prefix = 30; prefix >= 10; --prefix)
        masks << QHostAddress(~quint32(0) << (32 - prefix)).toString();
    return masks;
}

} // namespace

davErirido::davErirido(QWidget *parent)
    : QMainWindow(parent),
      panelBusy(false),
      changer(nullptr),
      ipValidator(nullptr),
      refreshTimer(nullptr)
{
    // The form's fixed sizes (the window, the two grids) leave room for a dialog
    // font of 11 or 12 pixels, not for the desktop's, which may be larger: its
    // texts would be cut. The size is in pixels, which are device-independent
    // and grow with the window by the screen's factor, so the form looks the same
    // at every scale. It is the application's font, not only the window's: the
    // list's popup is a window of its own, and a field lays out its text in the
    // application's font before it takes the window's, which would load a second
    // font at start-up.
    QFont formFont = QApplication::font();
    formFont.setPixelSize(12);
    QApplication::setFont(formFont);
    setupUi(this);
    // A mark is narrower than the hint it replaces; the column keeps the hint's
    // width, so nothing moves when a field is judged.
    gridLayout_2->setColumnMinimumWidth(2, ipValidatorLabel->sizeHint().width());
    panelBusy = false;
    ipRegExp = QRegExp(QLatin1String(ipPattern), Qt::CaseSensitive, QRegExp::RegExp);

    // One validator serves all four fields.
    ipValidator = new QRegExpValidator(ipRegExp);
    ipLineEdit->setValidator(ipValidator);
    gatewayLineEdit->setValidator(ipValidator);
    netmaskLineEdit->setValidator(ipValidator);
    dns1LineEdit->setValidator(ipValidator);

    changer = new windowChanger;

    // Only the interfaces that IP Helper reports as Ethernet adapters. Nothing
    // is connected yet, so selecting the first item runs no slot.
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QString name = platform::adapterName(interface);
        if (!name.isEmpty() && changer->getAddress(name).adapterName == name)
            interfaceComboBox->addItem(interface.humanReadableName(), name);
    }
    getInterfacesInfoToLabel(currentAdapterName());

    // Started by the first change written; until then a refresh does nothing.
    refreshTimer = new QTimer;

    connect(refreshTimer, SIGNAL(timeout()), this, SLOT(timeoutGetAddress()));
    connect(qApp, SIGNAL(focusChanged(QWidget*, QWidget*)), this, SLOT(lineEditCheck(QWidget*, QWidget*)));
    connect(interfaceComboBox, SIGNAL(currentIndexChanged(int)), this, SLOT(timeoutGetAddress()));
    connect(writeToSystemPushButton, SIGNAL(clicked()), this, SLOT(writeToSystem()));
    connect(enableDhcpPushButton, SIGNAL(clicked()), this, SLOT(dhcpAddress()));
    connect(refreshPushButton, SIGNAL(clicked()), this, SLOT(timeoutGetAddress()));
}

// The worker, the validator and the timer have no parent; they go with the
// window, which lives for the whole run, so nothing is left at exit.
davErirido::~davErirido()
{
    delete refreshTimer;
    delete changer;
    delete ipValidator;
}

int davErirido::getInterfacesInfoToLabel(const QString &adapteName)
{
    if (panelBusy)
        return 2;
    panelBusy = true;

    adapterInfo = changer->getAddress(adapteName);
    // The worker empties adapterName before it searches, so an empty request
    // would match a record that found nothing.
    if (adapteName.isEmpty() || adapterInfo.adapterName != adapteName || adapterInfo.status == -1) {
        showStatus(tr("Can't get the adapter information."));
        adapterNameInfoLabel->clear();
        adapterDescribeInfoLabel->clear();
        addressTypeInfoLabel->clear();
        ipInfoLabel->clear();
        netmaskInfoLabel->clear();
        gatewayInfoLabel->clear();
        dns1InfoLabel->clear();
        panelBusy = false;
        return 0;
    }

    adapterNameInfoLabel->setText(adapterInfo.adapterName);
    // Windows numbers repeated descriptions (" #2") and names miniport drivers
    // (" - ..."); only the first of the two is cut off.
    const QString separator = adapterInfo.description.contains(QLatin1String(" #"))
        ? QStringLiteral(" #") : QStringLiteral(" -");
    adapterDescribeInfoLabel->setText(adapterInfo.description.split(separator).first());
    addressTypeInfoLabel->setText(adapterInfo.dhcpEnabled == 1 ? tr("DHCP") : tr("Manual"));
    ipInfoLabel->setText(adapterInfo.ipAddress);
    netmaskInfoLabel->setText(adapterInfo.ipMask);
    gatewayInfoLabel->setText(adapterInfo.gateway);
    dns1InfoLabel->setText(adapterInfo.dnsServer);

    panelBusy = false;
    return 1;
}

bool davErirido::lineEditCheck(QWidget *old, QWidget *now)
{
    if (now == netmaskLineEdit && netmaskLineEdit->text().isEmpty())
        netmaskLineEdit->setText(QLatin1String(defaultNetmask));

    QLabel *mark = nullptr;
    bool passed = false;
    if (old == ipLineEdit) {
        mark = ipValidatorLabel;
        passed = ipRegExp.exactMatch(ipLineEdit->text());
    } else if (old == netmaskLineEdit) {
        mark = netmaskValidatorLabel;
        passed = acceptedNetmasks().contains(netmaskLineEdit->text());
    } else if (old == gatewayLineEdit) {
        mark = gatewayValidatorLabel;
        passed = ipRegExp.exactMatch(gatewayLineEdit->text());
    } else if (old == dns1LineEdit) {
        mark = dns1ValidatorLabel;
        passed = ipRegExp.exactMatch(dns1LineEdit->text());
    } else {
        return true;
    }

    if (passed)
        mark->setText(QLatin1String("<font color=\"green\">") + tr("Right") + QLatin1String("</font>"));
    else
        mark->setText(QLatin1String("<font color=\"red\">") + tr("Wrong") + QLatin1String("</font>"));
    return passed;
}

void davErirido::writeToSystem()
{
    // Every field is judged, so every mark is brought up to date.
    bool valid = true;
    for (QWidget *field : {ipLineEdit, netmaskLineEdit, gatewayLineEdit, dns1LineEdit})
        valid = lineEditCheck(field) && valid;
    if (!valid)
        return;

    setActionButtonsEnabled(false);
    const QString dhcpText = tr("DHCP");

    const QStringList addressList = {currentConnectionName(), ipLineEdit->text(),
                                     netmaskLineEdit->text(), gatewayLineEdit->text()};
    if (addressTypeInfoLabel->text() == dhcpText || !panelShowsAddress(addressList)) {
        showStatus(tr("changing the IP, netmask and gateway !"));
        changer->setAddress(addressList);
        // The command's result says nothing; what the system now reports does.
        getInterfacesInfoToLabel(currentAdapterName());
        if (!panelShowsAddress(addressList)) {
            showStatus(tr("IP, netmask and gateway change failed. Please try it again."));
            setActionButtonsEnabled(true);
            return;
        }
        showStatus(tr("IP, netmask and gateway change finished."));
    }

    if (addressTypeInfoLabel->text() == dhcpText || dns1InfoLabel->text() != dns1LineEdit->text()) {
        showStatus(tr("changing the DNS  !"));
        const QStringList dnsList = {currentConnectionName(), dns1LineEdit->text()};
        changer->setDns(dnsList);
        getInterfacesInfoToLabel(currentAdapterName());
        if (dnsList.at(1) != dns1InfoLabel->text()) {
            showStatus(tr("DNS changes failed. Please try it again."));
            setActionButtonsEnabled(true);
            return;
        }
        showStatus(tr("DNS changes finished."));
    }

    showStatus(tr("Change finished.Refreshing the addresses information."));
    refreshTimer->start(refreshInterval);
    setActionButtonsEnabled(true);
}

void davErirido::dhcpAddress()
{
    setActionButtonsEnabled(false);
    const QString connection = currentConnectionName();
    showStatus(tr("Auto distributing ip, netmask, and gateway..."));
    changer->setDhcpAddress(connection);
    showStatus(tr("Auto distributing DNS server..."));
    changer->setDhcpDns(connection);
    // Whether the switch worked shows only in the panel the refresh refills.
    showStatus(tr("Dhcp addressed finished. Refreshing the addresses information."));
    refreshTimer->start(refreshInterval);
    setActionButtonsEnabled(true);
}

void davErirido::timeoutGetAddress()
{
    if (!refreshTimer->isActive())
        return;
    getInterfacesInfoToLabel(currentAdapterName());
    const QString ip = ipInfoLabel->text();
    if (ip == QLatin1String(noAddress) || ip.isEmpty())
        refreshTimer->start(refreshInterval);
    else
        showStatus(tr("Refreshing information successful."));
}

QString davErirido::currentAdapterName() const
{
    return interfaceComboBox->itemData(interfaceComboBox->currentIndex(), Qt::UserRole).toString();
}

// netsh knows a connection by its human-readable name, not by the adapter name.
QString davErirido::currentConnectionName() const
{
    return platform::interfaceFromAdapterName(currentAdapterName()).humanReadableName();
}

void davErirido::showStatus(const QString &text)
{
    statusbar->showMessage(text, 0);
}

void davErirido::setActionButtonsEnabled(bool enabled)
{
    writeToSystemPushButton->setEnabled(enabled);
    enableDhcpPushButton->setEnabled(enabled);
}

bool davErirido::panelShowsAddress(const QStringList &addressList) const
{
    return addressList.at(1) == ipInfoLabel->text()
        && addressList.at(2) == netmaskInfoLabel->text()
        && addressList.at(3) == gatewayInfoLabel->text();
}
