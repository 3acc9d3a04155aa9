// The window as the system tests drive it: opened on one adapter, four
// addresses typed and "Manual change" pressed, its panel read.
#pragma once

#include "daverirido.h"

#include <QStringList>

#include <memory>

namespace testwindow {

const QString Finished = QStringLiteral("Change finished.Refreshing the addresses information.");
const QString AddressFailed = QStringLiteral("IP, netmask and gateway change failed. Please try it again.");
const QString DhcpSwitched = QStringLiteral("Dhcp addressed finished. Refreshing the addresses information.");
const QString Refreshed = QStringLiteral("Refreshing information successful.");

// False when the adapter is not in the window's list.
inline bool openOn(std::unique_ptr<davErirido> &window, const QString &adapter)
{
    window.reset(new davErirido);
    const int row = window->interfaceComboBox->findData(adapter, Qt::UserRole);
    window->interfaceComboBox->setCurrentIndex(row);
    return row >= 0;
}

// Types IP, netmask, gateway and DNS server and presses "Manual change"; false
// when the buttons stay disabled afterwards.
inline bool apply(davErirido *window, const QStringList &fields)
{
    window->ipLineEdit->setText(fields.value(0));
    window->netmaskLineEdit->setText(fields.value(1));
    window->gatewayLineEdit->setText(fields.value(2));
    window->dns1LineEdit->setText(fields.value(3));
    return QMetaObject::invokeMethod(window, "writeToSystem") && window->writeToSystemPushButton->isEnabled()
        && window->enableDhcpPushButton->isEnabled();
}

// Address type, IP, netmask, gateway and DNS server as the panel shows them.
inline QStringList panel(const davErirido *window)
{
    return {window->addressTypeInfoLabel->text(), window->ipInfoLabel->text(), window->netmaskInfoLabel->text(),
            window->gatewayInfoLabel->text(), window->dns1InfoLabel->text()};
}

} // namespace testwindow
