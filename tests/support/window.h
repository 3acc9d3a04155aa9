// The window as the system tests drive it.
#pragma once

#include "daverirido.h"

#include <memory>

namespace testwindow {

const QString Finished = QStringLiteral("Change finished.Refreshing the addresses information.");
const QString AddressFailed = QStringLiteral("IP, netmask and gateway change failed. Please try it again.");
const QString Refreshed = QStringLiteral("Refreshing information successful.");

// A new window showing the adapter; false when it is not in the window's list.
inline bool openOn(std::unique_ptr<davErirido> &window, const QString &adapter)
{
    window.reset(new davErirido);
    window->interfaceComboBox->setCurrentIndex(window->interfaceComboBox->findData(adapter, Qt::UserRole));
    return window->interfaceComboBox->currentIndex() >= 0;
}

// Types IP, netmask, gateway and DNS server and presses "Manual change"; false when the buttons stay disabled.
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
