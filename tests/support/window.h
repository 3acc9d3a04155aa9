// The window as the tests drive and judge it.
#pragma once

#include "daverirido.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>

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

// The texts of the window that don't have all the room they ask for in its font, or of which something is hidden;
// the widgets named in exempt are not judged.
inline QStringList cut(const QWidget *window, const QStringList &exempt = {})
{
    QStringList found;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        const auto *label = qobject_cast<const QLabel *>(w);
        const auto *box = qobject_cast<const QGroupBox *>(w);
        const auto *outer = qobject_cast<const QGroupBox *>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr);
        if (outer && !outer->contentsRect().contains(QRect(w->mapTo(outer, QPoint()), w->size())))
            found << w->objectName() + " outside " + outer->objectName();
        if ((!label && !qobject_cast<const QAbstractButton *>(w) && !box) || !w->isVisible()
            || exempt.contains(w->objectName()))
            continue;
        QSize needed = box ? box->minimumSizeHint() : w->sizeHint();
        if (label && label->wordWrap())
            needed = QSize(w->minimumSizeHint().width(), label->heightForWidth(w->width()));
        if (w->width() < needed.width() || w->height() < needed.height() || w->visibleRegion() != QRegion(w->rect()))
            found << QStringLiteral("%1 (%2x%3 for %4x%5)").arg(w->objectName()).arg(w->width()).arg(w->height())
                     .arg(needed.width()).arg(needed.height());
    }
    return found;
}

} // namespace testwindow
